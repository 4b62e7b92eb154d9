#include "compile/running.h"

#include <charconv>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/env.h"

namespace vellora {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a cancel waits for the compile to answer and let go of its project; the compile reads
// what the killed run left and ends within moments.
constexpr auto RELEASE_WAIT = std::chrono::seconds(10);

struct RunningCompile::Entry {
  std::string project;
  std::string engine_program;
  std::shared_ptr<platform::Cancellation> cancellation;
  Clock::time_point started;
  // Guarded by the table's mutex.
  std::string phase = "materializing";
  int pass = 0;
  std::string tool;
  std::optional<std::string> package;
};

namespace {

struct Table {
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::string, std::shared_ptr<RunningCompile::Entry>, std::less<>> compiles;
  int turns_taken = 0;  // compiles past their wait
  std::condition_variable turn_freed;
};

// More compiles at once than cores only makes each slower, and a crowd of projects could
// otherwise start hundreds of processes.
int compiles_at_once() {
  if (const auto value = platform::get_env("VELLORA_MAX_COMPILES")) {
    int n = 0;
    const char* end = value->text.data() + value->text.size();
    if (std::from_chars(value->text.data(), end, n).ptr == end && n > 0) return n;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

Table& table() {
  static Table* instance = new Table;  // never destroyed: request threads may outlive main
  return *instance;
}

std::string program_name(const fs::path& program) {
  return program.stem().string();
}

}  // namespace

RunningCompile::RunningCompile(std::string project, std::string engine_program,
                               std::shared_ptr<platform::Cancellation> cancellation,
                               Clock::time_point started)
    : entry_(std::make_shared<Entry>()),
      runs_(cancellation, [entry = entry_](const platform::Command& command) {
        const std::string tool = program_name(command.program);
        std::lock_guard lock(table().mutex);
        entry->tool = tool;
        entry->package.reset();
        if (tool == entry->engine_program) {
          entry->phase = "compiling";
          ++entry->pass;
        } else {
          entry->phase = "installing";
          if (tool == "tlmgr" && command.args.size() == 2 && command.args[0] == "install")
            entry->package = command.args[1];
        }
      }) {
  entry_->project = std::move(project);
  entry_->engine_program = std::move(engine_program);
  entry_->tool = entry_->engine_program;
  entry_->cancellation = std::move(cancellation);
  entry_->started = started;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.compiles[entry_->project] = entry_;
}

RunningCompile::~RunningCompile() {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  if (holds_turn_) {
    --t.turns_taken;
    t.turn_freed.notify_one();
  }
  const auto it = t.compiles.find(entry_->project);
  if (it != t.compiles.end() && it->second == entry_) t.compiles.erase(it);
  t.released.notify_all();
}

bool RunningCompile::cancelled() const {
  return entry_->cancellation->cancelled();
}

void RunningCompile::wait_for_turn() {
  static const int limit = compiles_at_once();
  Table& t = table();
  std::unique_lock lock(t.mutex);
  entry_->phase = "queued";
  // A cancellation does not wake this wait, so it looks now and then.
  while (t.turns_taken >= limit) {
    if (cancelled()) return;
    t.turn_freed.wait_for(lock, std::chrono::milliseconds(200));
  }
  ++t.turns_taken;
  holds_turn_ = true;
  entry_->phase = "materializing";
}

int RunningCompile::passes() const {
  std::lock_guard lock(table().mutex);
  return entry_->pass;
}

std::optional<CompileProgress> compile_progress(const std::string& project) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const auto it = t.compiles.find(project);
  if (it == t.compiles.end()) return std::nullopt;
  const RunningCompile::Entry& e = *it->second;
  return CompileProgress{
      e.phase, e.pass, e.tool, e.package,
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - e.started)};
}

bool cancel_compile(const std::string& project) {
  Table& t = table();
  std::unique_lock lock(t.mutex);
  const auto it = t.compiles.find(project);
  if (it == t.compiles.end()) return false;
  const std::shared_ptr<RunningCompile::Entry> entry = it->second;
  // cancel() takes only the cancellation's own lock; the compile's progress reports wait.
  entry->cancellation->cancel();
  t.released.wait_for(lock, RELEASE_WAIT, [&] {
    const auto now = t.compiles.find(project);
    return now == t.compiles.end() || now->second != entry;
  });
  return true;
}

}  // namespace vellora
