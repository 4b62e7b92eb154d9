#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
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
  // False: `env` is the child's whole environment.
  bool inherit_environment = true;
  // Empty: the agent's own working directory.
  std::filesystem::path cwd;
  // Written to standard input, which is then closed; none: standard input is the null device.
  std::optional<std::string> input;
  // Standard output and error to pipes; otherwise both go to the null device.
  bool capture_output = false;
  // Windows: start without a console window.
  bool no_window = false;
  // Runs at the lowest scheduling priority, behind everything the user is waiting for.
  bool low_priority = false;
  // Confines the child and all it starts where the system can (see sandbox.h), in a session of its
  // own; none: unconfined.
  std::optional<Confinement> confinement;
};

// Lets another thread stop the runs of one piece of work (a compile): cancel() kills the process
// tree of the run under way at once, and every later run answers at once without starting.
// One run at a time is attached; the object outlives the runs that use it.
class Cancellation {
 public:
  // Safe from any thread, any number of times.
  void cancel();
  bool cancelled() const;

  // For run(): `kill` ends the attached child's whole tree and may run on another thread until
  // detach() returns. False, with nothing attached, when the work is already cancelled.
  bool attach(std::function<void()> kill);
  // Call before the child is reaped, so that a kill never reaches a process id that may have been
  // given to another process; waits for a kill under way.
  void detach();

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::function<void()> kill_;
};

// While alive, every contained run started on this thread without a cancellation of its own is
// stopped by `cancellation`, and `on_start` learns of it first. So the tools a compile starts
// through other modules (tlmgr, kpsewhich) are stopped and reported like its engine runs.
class ThreadRuns {
 public:
  ThreadRuns(std::shared_ptr<Cancellation> cancellation,
             std::function<void(const Command&)> on_start);
  ~ThreadRuns();
  ThreadRuns(const ThreadRuns&) = delete;
  ThreadRuns& operator=(const ThreadRuns&) = delete;

  // The scope of this thread, if any.
  static ThreadRuns* current();
  Cancellation& cancellation() const { return *cancellation_; }
  void started(const Command& command) const {
    if (on_start_) on_start_(command);
  }

 private:
  std::shared_ptr<Cancellation> cancellation_;
  std::function<void(const Command&)> on_start_;
  ThreadRuns* outer_;
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
  // Captured output is also copied, as it arrives, to this process's own standard output and
  // error: a user at a terminal sees a downloader's progress and its errors.
  bool echo_output = false;
  // Stops the run from another thread (its tree is killed whatever `contain` says); none: the
  // thread's ThreadRuns, if any, for a contained run.
  Cancellation* cancellation = nullptr;
};

struct RunResult {
  std::optional<int> exit_code;  // none when killed or ended by a signal
  bool timed_out = false;
  // Stopped by its cancellation, or never started because the work was already cancelled.
  bool cancelled = false;
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
