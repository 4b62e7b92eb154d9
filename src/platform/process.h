#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sandbox.h"

namespace vellora::platform {

// One child process, always with a fixed argument list (never through a shell).
struct Command {
  // A path, or a bare name looked up in the agent's own PATH.
  std::filesystem::path program;
  std::vector<std::string> args;
  // Variables added to (or replacing those of) the agent's own environment.
  std::vector<std::pair<std::string, std::string>> env;
  // Empty: the agent's own working directory.
  std::filesystem::path cwd;
  // Written to standard input, which is then closed; none: standard input is the null device.
  std::optional<std::string> input;
  // Standard output and error to pipes; otherwise both go to the null device.
  bool capture_output = false;
  // Windows: start without a console window.
  bool no_window = false;
  // Confines the child and all it starts where the system can (see sandbox.h); none: unconfined.
  std::optional<Confinement> confinement;
};

struct RunOptions {
  // None: wait as long as the child runs.
  std::optional<std::chrono::milliseconds> time_limit;
  // At the limit, kill the whole process tree (true) or leave the child running and answer (false).
  // A contained child's whole tree is also killed once the child itself has ended, so that no
  // grandchild outlives the run.
  bool contain = true;
  // What is kept of each captured stream: its last bytes, which hold the error.
  std::size_t output_limit = std::size_t{16} << 20;
};

struct RunResult {
  std::optional<int> exit_code;  // none when killed or ended by a signal
  bool timed_out = false;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
  bool success() const { return exit_code == 0; }
};

// Runs the command to its end or to the time limit. The error is the system's text when the
// program cannot be started.
std::expected<RunResult, std::string> run(const Command& command, const RunOptions& options = {});

// Starts the command and does not wait for it.
std::expected<void, std::string> spawn_detached(const Command& command);

}  // namespace vellora::platform
