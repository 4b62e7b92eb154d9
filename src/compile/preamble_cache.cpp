#include "compile/preamble_cache.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "common/file.h"
#include "common/gzip.h"
#include "common/text.h"
#include "compile/output_files.h"
#include "compile/preamble_format.h"
#include "dirs/dirs.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/file_stamp.h"
#include "platform/links.h"
#include "platform/process.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr auto DUMP_TIME_LIMIT = std::chrono::seconds(300);
constexpr std::uintmax_t MAX_RECORDER_BYTES = std::uintmax_t{16} << 20;

std::string cache_mode() {
  const auto value = platform::get_env("VELLORA_PREAMBLE_CACHE");
  return value ? value->text : std::string();
}

// The TeX engine latexmk starts, for the engines whose preambles are kept.
std::optional<std::string> tex_engine(std::string_view engine_id) {
  if (engine_id == "agent-pdflatex") return "pdflatex";
  if (engine_id == "agent-xelatex") return "xelatex";
  return std::nullopt;  // LuaLaTeX's dumps are not reliable; Tectonic and ConTeXt have their own
}

std::uint64_t size_limit() {
  std::uint64_t mib = 2048;
  if (const auto value = platform::get_env("VELLORA_FORMAT_CACHE_MB")) {
    std::uint64_t parsed = 0;
    const char* end = value->text.data() + value->text.size();
    if (std::from_chars(value->text.data(), end, parsed).ptr == end) mib = parsed;
  }
  return mib << 20;
}

fs::path formats_root() {
  return cache_dir() / "formats";
}
fs::path project_dir(const std::string& project) {
  return formats_root() / utf8_path(project);
}
fs::path record_path(const PreambleKey& key) {
  return project_dir(key.project) /
         (key.engine_id + "-" + platform::sha256_hex(key.main_file).substr(0, 16) + ".json");
}

// The SHA-256 of a file's content. Every compile that may use a format asks it of each file the
// dump read (a few hundred, some MiB): a file whose stamp (which file, size, time) is as it was
// when it was last hashed is not read again. The TeX trees are full of links, which are read
// through each time; a project's files never are, and a link a run left there is not followed.
std::optional<std::string> file_sha256(const fs::path& path, const fs::path& work_dir) {
  if (is_within(path, work_dir) && platform::is_link(path)) return std::nullopt;
  struct Known {
    platform::FileStamp stamp;
    std::string sha;
  };
  static std::mutex mutex;
  static std::unordered_map<std::string, Known> known;
  const std::string key = platform::path_text(path);
  const auto stamp = platform::regular_file_stamp(path);
  if (stamp) {
    std::lock_guard lock(mutex);
    if (const auto it = known.find(key); it != known.end() && it->second.stamp == *stamp)
      return it->second.sha;
  }
  std::optional<std::string> sha;
  if (auto hashed = platform::sha256_file(path)) sha = std::move(*hashed);
  if (sha && stamp && platform::regular_file_stamp(path) == stamp) {
    std::lock_guard lock(mutex);
    if (known.size() > 100000) known.clear();
    known[key] = Known{*stamp, *sha};
  }
  return sha;
}

std::string paths_sha256(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  std::string text;
  for (const auto& p : paths) text += p + '\n';
  return platform::sha256_hex(text);
}

std::optional<FormatRecord> read_record(const fs::path& path) {
  const auto text = read_file(path);
  return text ? parse_format_record(*text) : std::nullopt;
}

// The folders where TeX finds a file by its name before it looks in the TeX trees: the output
// folder, the work directory and the main file's folder.
std::vector<fs::path> first_looked_in(const PreambleKey& key) {
  std::vector<fs::path> dirs = {key.out_dir, key.work_dir};
  if (const std::string parent = parent_of(key.main_file); !parent.empty())
    dirs.push_back(key.work_dir / utf8_path(parent));
  return dirs;
}

// Every file the dump read still holds what it held, and no file of the same name now comes
// before it.
bool files_unchanged(const FormatRecord& record, const PreambleKey& key) {
  const auto before = first_looked_in(key);
  for (const auto& [text, sha] : record.files) {
    const fs::path path = utf8_path(text);
    std::error_code ec;
    for (const fs::path& dir : before) {
      const fs::path other = dir / path.filename();
      if (other.lexically_normal() != path && fs::exists(fs::symlink_status(other, ec)))
        return false;
    }
    if (file_sha256(path, key.work_dir) != sha) return false;
  }
  return true;
}

// One dump asked for by a compile.
struct DumpJob {
  PreambleKey key;
  platform::Command command;
  fs::path staging;
  std::string job;  // the job name: the dump is named as the compile's run
  fs::path engine;  // the engine's program, which the format belongs to
  platform::Cancellation cancellation;
  bool cancelled = false;  // under the queue's mutex
  bool done = false;
};

class DumpQueue {
 public:
  static DumpQueue& instance() {
    static DumpQueue* queue = new DumpQueue();  // its thread outlives every static destructor
    return *queue;
  }

  std::shared_ptr<DumpJob> add(std::shared_ptr<DumpJob> job) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [&](const auto& p) {
      return p->key.project == job->key.project && p->key.engine_id == job->key.engine_id &&
             p->key.main_file == job->key.main_file;
    });
    pending_.push_back(job);
    if (!started_) {
      started_ = true;
      std::thread([this] { work(); }).detach();
    }
    changed_.notify_all();
    return job;
  }

  void wait(const std::shared_ptr<DumpJob>& job) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return job->done; });
  }

  void stop(const std::string& project) {
    std::unique_lock lock(mutex_);
    std::erase_if(pending_, [&](const auto& p) {
      if (p->key.project != project) return false;
      p->cancelled = p->done = true;
      return true;
    });
    if (running_ && running_->key.project == project) {
      running_->cancelled = true;
      running_->cancellation.cancel();
      const auto job = running_;
      changed_.wait(lock, [&] { return job->done; });
    }
    changed_.notify_all();
  }

  bool cancelled(const DumpJob& job) {
    std::lock_guard lock(mutex_);
    return job.cancelled;
  }

 private:
  void work() {
    // What dumps of an agent that was stopped while they ran left behind.
    std::error_code ec;
    for (const auto& project : fs::directory_iterator(formats_root(), ec)) {
      std::error_code ec2;
      for (const auto& entry : fs::directory_iterator(project.path(), ec2))
        if (platform::path_text(entry.path().filename()).starts_with(".dump-"))
          fs::remove_all(entry.path(), ec2);
    }
    for (;;) {
      std::shared_ptr<DumpJob> job;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pending_.empty(); });
        job = pending_.front();
        pending_.pop_front();
        running_ = job;
      }
      perform(*job);
      std::lock_guard lock(mutex_);
      running_.reset();
      job->done = true;
      changed_.notify_all();
    }
  }

  void perform(DumpJob& job);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<DumpJob>> pending_;
  std::shared_ptr<DumpJob> running_;
  bool started_ = false;
};

// The first error line of a failed dump's log.
std::string dump_error(const fs::path& log) {
  const auto text = read_log_bounded(log);
  if (text)
    for (std::string_view line : split_lines(*text))
      if (line.starts_with("! ")) return std::string(trim(line.substr(2)));
  return "the engine stopped without dumping";
}

// The file-name databases (ls-R) of the TeX trees the files were found in. A file installed in a
// tree later (tlmgr updates its database) may be found before one the dump read, or be one the
// dump looked for in vain.
std::vector<fs::path> file_databases(const std::vector<fs::path>& files, const fs::path& work_dir) {
  std::vector<fs::path> databases, looked_at;
  for (const fs::path& file : files) {
    if (is_within(file, work_dir)) continue;
    for (fs::path dir = file.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
      if (std::find(looked_at.begin(), looked_at.end(), dir) != looked_at.end()) break;
      looked_at.push_back(dir);
      std::error_code ec;
      if (fs::is_regular_file(dir / "ls-R", ec)) databases.push_back(dir / "ls-R");
    }
  }
  return databases;
}

// Removes the least recently used formats until all fit in the limit; the one just made stays
// unless it alone is over it. A format's last use is its record's modification time: the format
// itself is never touched, since latexmk reads a file again whose time changed.
void enforce_limit() {
  struct Entry {
    fs::path path;
    std::uintmax_t size;
    fs::file_time_type used;
  };
  std::vector<Entry> formats;
  std::uintmax_t total = 0;
  std::error_code ec;
  for (const auto& project : fs::directory_iterator(formats_root(), ec)) {
    std::error_code ec2;
    std::unordered_map<std::string, fs::file_time_type> used;  // by format name
    for (const auto& file : fs::directory_iterator(project.path(), ec2))
      if (file.path().extension() == ".json")
        if (const auto record = read_record(file.path()); record && record->format)
          used[*record->format] = file.last_write_time(ec2);
    for (const auto& file : fs::directory_iterator(project.path(), ec2)) {
      if (file.path().extension() != ".fmt" || !file.is_regular_file(ec2)) continue;
      const auto named = used.find(platform::path_text(file.path().stem()));
      Entry entry{file.path(), file.file_size(ec2),
                  named != used.end() ? named->second : file.last_write_time(ec2)};
      total += entry.size;
      formats.push_back(std::move(entry));
    }
  }
  std::sort(formats.begin(), formats.end(),
            [](const Entry& a, const Entry& b) { return a.used < b.used; });
  const std::uint64_t limit = size_limit();
  for (const Entry& entry : formats) {
    if (total <= limit) break;
    if (fs::remove(entry.path, ec)) total -= entry.size;
  }
}

// The format as it is stored, within the cache's size. TeX Live's engines write their formats
// compressed, and a run from one spends a good part of its start expanding it; they read an
// expanded format as it is, so it is stored expanded.
std::expected<std::string, std::string> expanded_format(const fs::path& made) {
  const std::string too_large =
      "its format is larger than the cache's limit (VELLORA_FORMAT_CACHE_MB)";
  std::error_code ec;
  if (fs::file_size(made, ec) > size_limit()) return std::unexpected(too_large);
  auto bytes = read_file(made);
  if (!bytes) return std::unexpected(std::string("the dumped format cannot be read"));
  if (!bytes->starts_with("\x1f\x8b")) return std::move(*bytes);
  auto expanded = gunzip(*bytes, size_limit());
  if (!expanded) {
    if (expanded.error().starts_with("more than")) return std::unexpected(too_large);
    return std::unexpected("the dumped format cannot be expanded: " + expanded.error());
  }
  return expanded;
}

void write_record(const fs::path& path, const FormatRecord& record) {
  (void)write_atomic(path, format_record_json(record));
}

void DumpQueue::perform(DumpJob& job) {
  const PreambleKey& key = job.key;
  std::error_code ec;
  create_private_dirs(job.staging);
  platform::RunOptions options;
  options.time_limit = DUMP_TIME_LIMIT;
  options.cancellation = &job.cancellation;
  options.output_limit = 1 << 16;
  const auto result = platform::run(job.command, options);
  const fs::path made = job.staging / (job.job + ".fmt");

  FormatRecord record;
  record.engine_id = key.engine_id;
  record.main_file = key.main_file;
  record.project_paths_sha256 = paths_sha256(key.project_paths);
  const fs::path main = (key.work_dir / utf8_path(key.main_file)).lexically_normal();
  const auto source = read_file(main);
  std::expected<MainPreamble, std::string> preamble =
      std::unexpected(std::string("the main file cannot be read"));
  if (source) preamble = main_preamble(*source);
  if (preamble) {
    record.preamble_sha256 = platform::sha256_hex(preamble->text);
    record.begin_line = preamble->begin_line;
  }
  std::string reason = !preamble ? preamble.error()
                       : !result ? "the engine could not start: " + result.error()
                       : !result->success() || !fs::is_regular_file(made, ec)
                           ? dump_error(job.staging / (job.job + ".log"))
                           : std::string();
  // What the dump read, also when it failed: a change to one of them is worth another try. The
  // engine's program first: a format is only read by the program that made it.
  std::vector<fs::path> inputs = {job.engine};
  // Written by the dump, which the document runs in: read within a bound, and without it (or
  // beyond it) nothing is known of what the format holds.
  const auto fls = read_output_file(job.staging / (job.job + ".fls"), MAX_RECORDER_BYTES).bytes;
  if (!fls && reason.empty()) reason = "the engine left no whole list of the files it read";
  for (fs::path& input : recorded_inputs(fls.value_or(""))) inputs.push_back(std::move(input));
  for (const fs::path& database : file_databases(inputs, key.work_dir)) inputs.push_back(database);
  for (const fs::path& input : inputs) {
    if (is_within(input, job.staging) || input == main) continue;
    const auto sha = file_sha256(input, key.work_dir);
    if (!sha) {
      if (reason.empty())
        reason = "a file it read cannot be read again: " + platform::path_text(input);
      continue;
    }
    if (reason.empty() && is_within(input, key.work_dir))
      if (const auto content = read_file(input))
        if (auto problem = preamble_file_problem(*content)) reason = *problem;
    record.files.emplace_back(platform::path_text(input), *sha);
  }
  if (!cancelled(job) && preamble && (!result || !result->cancelled)) {
    const fs::path record_file = record_path(key);
    const auto previous = read_record(record_file);
    std::string format_bytes;
    if (reason.empty()) {
      if (auto expanded = expanded_format(made); !expanded)
        reason = expanded.error();
      else
        format_bytes = std::move(*expanded);
    }
    if (reason.empty()) {
      std::uint64_t id = (std::uint64_t{platform::random_u32()} << 32) | platform::random_u32();
      char name[32];
      std::snprintf(name, sizeof name, "preamble-%016llx", static_cast<unsigned long long>(id));
      record.format = name;
      const fs::path stored = project_dir(key.project) / (*record.format + ".fmt");
      if (auto written = write_atomic(stored, format_bytes); !written)
        record.format.reset(), reason = "the format could not be stored: " + written.error();
    }
    record.reason = reason;
    // A format without its record could never be used: a failed write keeps neither.
    if (!write_atomic(record_file, format_record_json(record)) && record.format)
      remove_quietly(project_dir(key.project) / (*record.format + ".fmt"));
    if (previous && previous->format && previous->format != record.format)
      remove_quietly(project_dir(key.project) / (*previous->format + ".fmt"));
    if (record.format) enforce_limit();
  }
  fs::remove_all(job.staging, ec);
}

platform::Command dump_command(const EngineRun& run, const std::string& engine,
                               const fs::path& program, const fs::path& staging,
                               const std::string& job) {
  EngineRun plain = run;
  plain.format.reset();
  platform::Command command = engine_command(plain);
  command.program = program;
  command.low_priority = true;
  const std::string out = platform::path_text(staging);
  command.args = {"-ini",
                  "-interaction=nonstopmode",
                  "-halt-on-error",
                  "-recorder",
                  "-no-shell-escape",
                  "-jobname=" + job,
                  "-output-directory=" + out,
                  "&" + engine,
                  "mylatexformat.ltx",
                  run.main_file};
  for (auto& [name, value] : command.env)
    if (name == "TEXMFOUTPUT") value = out;
  if (command.confinement) {
    // It reads the project and writes only the format being made (and the project's font cache).
    command.confinement->read_only.push_back(run.work_dir);
    command.confinement->writable = {staging, run.out_dir / ".cache", platform::null_device()};
  }
  return command;
}

}  // namespace

bool preamble_cache_enabled() {
  return cache_mode() != "off";
}

PreambleCheck check_preamble_format(const PreambleKey& key) {
  PreambleCheck check;
  if (!preamble_cache_enabled() || !tex_engine(key.engine_id)) return check;
  const auto source = read_file(key.work_dir / utf8_path(key.main_file));
  if (!source) return check;
  const auto preamble = main_preamble(*source);
  if (!preamble) return check;
  check.dump = true;
  const auto program = find_program(*tex_engine(key.engine_id));
  std::error_code ec;
  const fs::path engine = program ? fs::canonical(*program, ec) : fs::path();
  const auto record = read_record(record_path(key));
  if (!record || record->engine_id != key.engine_id || engine.empty() || record->files.empty() ||
      record->files.front().first != platform::path_text(engine) ||
      record->main_file != key.main_file || record->begin_line != preamble->begin_line ||
      record->preamble_sha256 != platform::sha256_hex(preamble->text) ||
      record->project_paths_sha256 != paths_sha256(key.project_paths) ||
      !files_unchanged(*record, key))
    return check;
  check.dump = false;
  if (!record->format) return check;  // remembered as one that cannot be dumped
  const fs::path dir = project_dir(key.project);
  const fs::path file = dir / (*record->format + ".fmt");
  if (!fs::is_regular_file(file, ec)) {
    check.dump = true;  // removed to keep the cache within its size
    return check;
  }
  // The least recently used go first.
  fs::last_write_time(record_path(key), fs::file_time_type::clock::now(), ec);
  check.use = SavedFormat{{dir, *record->format}, preamble->begin_line};
  return check;
}

void request_preamble_dump(const PreambleKey& key, const EngineRun& run) {
  const auto engine = tex_engine(key.engine_id);
  if (!preamble_cache_enabled() || !engine) return;
  const auto program = find_program(*engine);
  if (!program) return;
  create_private_dirs(project_dir(key.project));
  auto job = std::make_shared<DumpJob>();
  job->key = key;
  job->job = job_name(key.main_file);
  std::error_code ec;
  job->engine = fs::canonical(*program, ec);
  if (ec) return;
  job->staging =
      project_dir(key.project) /
      (".dump-" + platform::sha256_hex(std::to_string(platform::random_u32())).substr(0, 12));
  job->command = dump_command(run, *engine, *program, job->staging, job->job);
  auto& queue = DumpQueue::instance();
  queue.add(job);
  if (cache_mode() == "wait") queue.wait(job);
}

void reject_preamble_format(const PreambleKey& key, const std::string& reason) {
  const fs::path file = record_path(key);
  auto record = read_record(file);
  if (!record || !record->format) return;
  const fs::path format = project_dir(key.project) / (*record->format + ".fmt");
  std::error_code ec;
  // A format removed meanwhile to keep the cache within its size did not fail: it is only gone.
  if (!fs::is_regular_file(format, ec)) return;
  record->format.reset();
  record->reason = reason;
  write_record(file, *record);
  remove_quietly(format);
}

bool last_run_format_differs(const PreambleKey& key, const std::optional<FormatFile>& now) {
  const auto fls = read_file(key.out_dir / (job_name(key.main_file) + ".fls"));
  if (!fls) return false;
  const fs::path dir = project_dir(key.project);
  for (const fs::path& input : recorded_inputs(*fls))
    if (input.extension() == ".fmt" && input.parent_path() == dir)
      return !now || input.stem() != utf8_path(now->name);
  return false;
}

void stop_preamble_dumps(const std::string& project) {
  DumpQueue::instance().stop(project);
}

}  // namespace vellora
