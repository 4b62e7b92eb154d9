#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellora::platform {

// What a confined child process (and everything it starts) may reach of the file system: nothing
// outside these trees. Entries that do not exist are left out.
struct Confinement {
  std::vector<std::filesystem::path> read_only;  // read, list and run beneath each
  std::vector<std::filesystem::path> writable;   // also create, write, rename and remove
  // TCP connections and listening sockets; otherwise every socket is refused where the system
  // can. Other kinds of socket (local, UDP, raw, netlink) are refused either way.
  bool network = false;
  // Address space of each process of the run, in bytes; none: unlimited.
  std::optional<std::uint64_t> memory_limit = std::nullopt;
  // Processes the run may have at once beyond those of the user already running; none: unlimited.
  std::optional<unsigned> process_limit = std::nullopt;
};

// None when this system confines child processes fully; otherwise what is missing and why, for
// the start-up report.
std::optional<std::string> confinement_unavailable();

// A confinement built by the parent before it starts the child, so that the child, between fork
// and exec, only has to switch it on.
class PreparedConfinement {
 public:
  PreparedConfinement() = default;
  explicit PreparedConfinement(int handle) : handle_(handle) {}
  PreparedConfinement(PreparedConfinement&& other) noexcept;
  PreparedConfinement& operator=(PreparedConfinement&& other) noexcept;
  PreparedConfinement(const PreparedConfinement&) = delete;
  PreparedConfinement& operator=(const PreparedConfinement&) = delete;
  ~PreparedConfinement();

  // In the child: restricts the calling process for good (limits, capabilities, file system,
  // system calls). Async-signal-safe; the error number on failure, 0 on success or when there is
  // nothing to apply.
  int apply() const noexcept;

  // What apply() also sets up beyond the file-system rules, filled in by prepare_confinement.
  struct Extra {
    std::vector<std::uint64_t> syscall_filter;  // instructions of a system-call filter
    std::uint64_t memory_limit = 0;             // 0: none
    std::uint64_t process_limit = 0;            // 0: none
    bool drop_capabilities = false;
  };
  Extra extra;

 private:
  int handle_ = -1;
};

// Builds the confinement. An empty one (nothing applied) where the system offers none; an error
// only when the system has the feature but refused the rules.
std::expected<PreparedConfinement, std::string> prepare_confinement(const Confinement& confinement);

}  // namespace vellora::platform
