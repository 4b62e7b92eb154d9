#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/process.h"

namespace vellora {

// What a running compile is doing, as /v1/progress shows it.
struct CompileProgress {
  std::string phase;  // "queued", "materializing", "installing" or "compiling"
  int pass = 0;       // engine runs started so far
  std::string tool;   // the program running or last run (the engine's before any runs)
  std::optional<std::string> package;  // the package being installed
  std::chrono::milliseconds elapsed{0};
};

// Registers one project's compile in the process-wide table of running compiles for as long as it
// lives; constructed once the project is held for this compile. While it lives, every run the
// compile starts on this thread reports its progress here and stops at the compile's cancellation.
class RunningCompile {
 public:
  // `engine_program` is the program of the engine passes (latexmk, tectonic, context); other
  // programs are installation tools.
  RunningCompile(std::string project, std::string engine_program,
                 std::shared_ptr<platform::Cancellation> cancellation,
                 std::chrono::steady_clock::time_point started);
  ~RunningCompile();
  RunningCompile(const RunningCompile&) = delete;
  RunningCompile& operator=(const RunningCompile&) = delete;

  bool cancelled() const;
  int passes() const;

  // Waits, shown as "queued", until fewer compiles run than the machine has cores (or
  // VELLORA_MAX_COMPILES), then holds a place until this object ends. A compile cancelled while it
  // waits stops waiting without a place: it starts no process and answers "cancelled".
  void wait_for_turn();

  struct Entry;  // the table's record of one compile

 private:
  std::shared_ptr<Entry> entry_;
  platform::ThreadRuns runs_;
  bool holds_turn_ = false;
};

// The progress of the project's compile, none when none runs. Reads memory only.
std::optional<CompileProgress> compile_progress(const std::string& project);

// Kills the project's running compile (its whole process tree, a tlmgr installation too) and
// waits a short while for the compile to let go of the project. False when none was running.
bool cancel_compile(const std::string& project);

}  // namespace vellora
