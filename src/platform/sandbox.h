#pragma once

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
  // TCP connections and listening sockets; otherwise they are refused where the system can.
  bool network = false;
};

// None when this system confines child processes; otherwise why it cannot, for the start-up
// report.
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

  // In the child: restricts the calling process for good. Async-signal-safe; the error number on
  // failure, 0 on success or when there is nothing to apply.
  int apply() const noexcept;

 private:
  int handle_ = -1;
};

// Builds the confinement. An empty one (nothing applied) where the system offers none; an error
// only when the system has the feature but refused the rules.
std::expected<PreparedConfinement, std::string> prepare_confinement(const Confinement& confinement);

}  // namespace vellora::platform
