#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/syscall_filter.h"

namespace vellora::platform {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t NATIVE_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t NATIVE_ARCH = AUDIT_ARCH_AARCH64;
#else
#error "the system-call filter knows x86_64 and aarch64"
#endif

constexpr std::uint32_t NR = offsetof(seccomp_data, nr);
constexpr std::uint32_t ARCH = offsetof(seccomp_data, arch);
// The low half of an argument: the kernel reads ints and ioctl commands from it alone, so the
// high half is never compared (a caller could set it to anything).
constexpr std::uint32_t arg_low(int i) {
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * i);
}

constexpr std::uint32_t deny(int error) {
  return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

class Program {
 public:
  void load(std::uint32_t offset) { add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
  void ret(std::uint32_t value) { add(BPF_STMT(BPF_RET | BPF_K, value)); }
  void mask(std::uint32_t bits) { add(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, bits)); }
  void jump_eq(std::uint32_t value, std::uint8_t if_true, std::uint8_t if_false) {
    add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, if_true, if_false));
  }
  void jump_ge(std::uint32_t value, std::uint8_t if_true, std::uint8_t if_false) {
    add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, value, if_true, if_false));
  }
  void jump_set(std::uint32_t bits, std::uint8_t if_true, std::uint8_t if_false) {
    add(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, bits, if_true, if_false));
  }
  // A block for one system call: skipped unless the accumulator holds `nr`. Every block ends in a
  // return, so the accumulator still holds the number after a skipped one.
  template <typename Body>
  void on_syscall(long nr, Body body) {
    const std::size_t at = words_.size();
    add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 0));
    body();
    const std::size_t length = words_.size() - at - 1;
    sock_filter jump;
    std::memcpy(&jump, &words_[at], sizeof jump);
    jump.jf = static_cast<std::uint8_t>(length);
    std::memcpy(&words_[at], &jump, sizeof jump);
  }
  std::vector<std::uint64_t> take() { return std::move(words_); }

 private:
  void add(sock_filter instruction) {
    std::uint64_t word;
    static_assert(sizeof word == sizeof instruction);
    std::memcpy(&word, &instruction, sizeof word);
    words_.push_back(word);
  }
  std::vector<std::uint64_t> words_;
};

#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

constexpr long REFUSED[] = {
#ifdef __NR_chmod
    __NR_chmod,
    __NR_chown,
    __NR_lchown,
#endif
    __NR_fchmod,
    __NR_fchmodat,
    __NR_fchmodat2,
    __NR_fchown,
    __NR_fchownat,
    __NR_memfd_create,
    __NR_ptrace,
    __NR_process_vm_readv,
    __NR_process_vm_writev,
    __NR_keyctl,
    __NR_add_key,
    __NR_request_key,
    __NR_mount,
    __NR_umount2,
    __NR_unshare,
    __NR_setns,
    __NR_pivot_root,
    __NR_chroot,
    __NR_open_tree,
    __NR_move_mount,
    __NR_fsopen,
    __NR_fsconfig,
    __NR_fsmount,
    __NR_fspick,
    __NR_mount_setattr,
    __NR_io_uring_setup,
    __NR_io_uring_enter,
    __NR_io_uring_register,
    __NR_bpf,
    __NR_perf_event_open,
    __NR_userfaultfd,
    __NR_open_by_handle_at,
    __NR_kexec_load,
    __NR_init_module,
    __NR_finit_module,
    __NR_delete_module,
    __NR_acct,
    __NR_swapon,
    __NR_swapoff,
    __NR_reboot,
    __NR_syslog,
    __NR_quotactl,
    __NR_vhangup,
};

constexpr std::uint32_t NEW_NAMESPACES = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                         CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP;

}  // namespace

std::vector<std::uint64_t> confined_syscall_filter(bool tcp) {
  Program p;
  // Another architecture's calls (32-bit ones on a 64-bit kernel) have other numbers: refused.
  p.load(ARCH);
  p.jump_eq(NATIVE_ARCH, 1, 0);
  p.ret(deny(EPERM));
  p.load(NR);
#if defined(__x86_64__)
  p.jump_ge(0x40000000, 0, 1);  // the x32 numbers
  p.ret(deny(EPERM));
#endif
  for (const long nr : REFUSED) p.on_syscall(nr, [&] { p.ret(deny(EPERM)); });
  p.on_syscall(__NR_socket, [&] {
    if (tcp) {
      p.load(arg_low(0));
      p.jump_eq(AF_INET, 1, 0);
      p.jump_eq(AF_INET6, 0, 4);
      p.load(arg_low(1));
      p.mask(0xf);  // the type without SOCK_NONBLOCK and SOCK_CLOEXEC
      p.jump_eq(SOCK_STREAM, 0, 1);
      p.ret(SECCOMP_RET_ALLOW);
    }
    p.ret(deny(EACCES));
  });
  p.on_syscall(__NR_ioctl, [&] {
    p.load(arg_low(1));
    p.jump_eq(TIOCSTI, 2, 0);
    p.jump_eq(TIOCLINUX, 1, 0);
    p.ret(SECCOMP_RET_ALLOW);
    p.ret(deny(EPERM));
  });
  p.on_syscall(__NR_personality, [&] {
    // Asking is allowed; changing (to turn address randomisation off, say) is not.
    p.load(arg_low(0));
    p.jump_eq(0xffffffff, 1, 0);
    p.jump_eq(0, 0, 1);
    p.ret(SECCOMP_RET_ALLOW);
    p.ret(deny(EPERM));
  });
  p.on_syscall(__NR_clone, [&] {
    p.load(arg_low(0));
    p.jump_set(NEW_NAMESPACES, 0, 1);
    p.ret(deny(EPERM));
    p.ret(SECCOMP_RET_ALLOW);
  });
  // clone3's flags are behind a pointer the filter cannot read; the C library then uses clone.
  p.on_syscall(__NR_clone3, [&] { p.ret(deny(ENOSYS)); });
  p.ret(SECCOMP_RET_ALLOW);
  return p.take();
}

int install_syscall_filter(const std::vector<std::uint64_t>& filter) noexcept {
  if (filter.empty()) return 0;
  sock_fprog program{};
  program.len = static_cast<unsigned short>(filter.size());
  // The words were laid out as sock_filter instructions.
  program.filter = reinterpret_cast<sock_filter*>(const_cast<std::uint64_t*>(filter.data()));
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0) return errno;
  return 0;
}

bool syscall_filter_available() {
  static const bool available = ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 &&
                                ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr, 0, 0) < 0 &&
                                errno == EFAULT;
  return available;
}

}  // namespace vellora::platform
