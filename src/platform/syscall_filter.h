#pragma once

#include <cstdint>
#include <vector>

namespace vellora::platform {

// The system calls a confined run may not make, as a seccomp program (one 64-bit word per
// instruction): no sockets but TCP (and TCP only when `tcp` is allowed), no changes of file modes
// or owners, no typing into a terminal, no executable anonymous memory, no tracing, no kernel
// keys, no mounts or namespaces, no io_uring (whose requests would pass around the filter), no
// personality changes. Each refused call fails with an error; nothing is killed.
std::vector<std::uint64_t> confined_syscall_filter(bool tcp);

// Installs `filter` on the calling process and everything it starts. Async-signal-safe; the error
// number, or 0. The caller has set no_new_privs.
int install_syscall_filter(const std::vector<std::uint64_t>& filter) noexcept;

// Whether this kernel filters system calls (seccomp).
bool syscall_filter_available();

}  // namespace vellora::platform
