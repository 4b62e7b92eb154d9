#include "compile/compile.h"

#include <algorithm>
#include <chrono>

#include "common/base64.h"
#include "common/file.h"
#include "common/text.h"
#include "compile/compile_log.h"
#include "compile/confinement.h"
#include "compile/diagnostics.h"
#include "compile/engine_command.h"
#include "compile/eps_figures.h"
#include "compile/index_tools.h"
#include "compile/output_files.h"
#include "compile/preamble_cache.h"
#include "compile/preamble_format.h"
#include "compile/run_caches.h"
#include "compile/running.h"
#include "compile/stale_outputs.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/file_stamp.h"
#include "platform/links.h"
#include "platform/process.h"
#include "project/blob_store.h"
#include "project/file_refs.h"
#include "project/materialize.h"
#include "project/names.h"
#include "tlmgr/tlmgr.h"
#include "toolchain/engines.h"
#include "toolchain/limits.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto INSTALL_BUDGET = std::chrono::seconds(900);
constexpr int MAX_PASSES = 40;
// Engine runs added for indexes and glossaries built between runs (they may move page numbers).
constexpr int MAX_INDEX_ROUNDS = 3;
// The last bytes of each output stream of an engine run that are kept.
constexpr std::size_t ENGINE_OUTPUT_LIMIT = std::size_t{4} << 20;

struct CompileRequest {
  std::string project;
  std::string main_file;
  std::vector<FileRef> files;
  EngineInfo engine;
  bool install_missing = true;
  bool diagnostics = false;  // the reply lists the log's errors and warnings
};

std::string string_member(const json::object* object, const char* key) {
  if (object == nullptr) return {};
  const auto* v = object->if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

bool main_file_extension_ok(const std::string& main_file, const std::string& engine) {
  const std::string lower = to_lower_ascii(main_file);
  if (lower.ends_with(".tex")) return true;
  return engine == "agent-context" && (lower.ends_with(".mkiv") || lower.ends_with(".mkxl"));
}

std::expected<CompileRequest, Reply> validate(const json::value& body,
                                              const std::vector<std::string>& repeated_keys,
                                              const AllowedOrigin& origin) {
  const json::object* object = body.if_object();
  CompileRequest request;
  const std::string engine_id = string_member(object, "engine");
  request.project = string_member(object, "project");
  request.main_file = string_member(object, "mainFile");
  if (!valid_project_id(request.project))
    return std::unexpected(error_reply(400, origin, "invalid project"));
  if (!main_file_extension_ok(request.main_file, engine_id) ||
      !valid_main_file_name(request.main_file))
    return std::unexpected(error_reply(400, origin, "invalid main file"));
  static const json::value null_value = nullptr;
  const json::value* files = object ? object->if_contains("files") : nullptr;
  auto refs = decode_file_refs(files ? *files : null_value, repeated_keys, "/files");
  if (!refs) return std::unexpected(error_reply(400, origin, "invalid list: " + refs.error()));
  bool has_main = false;
  for (const FileRef& ref : *refs) {
    if (!valid_relative_path(ref.path) || !blob_path(ref.sha256))
      return std::unexpected(
          error_reply(400, origin, "invalid file list or missing the main file"));
    has_main = has_main || ref.path == request.main_file;
  }
  if (!has_main)
    return std::unexpected(error_reply(400, origin, "invalid file list or missing the main file"));
  if (auto conflict = conflicting_path(*refs))
    return std::unexpected(error_reply(400, origin, "invalid file list: " + *conflict));
  for (const FileRef& ref : *refs)
    if (is_reserved_project_path(ref.path))
      return std::unexpected(error_reply(
          400, origin,
          "the project path \"" + ref.path + "\" is reserved for the agent's own files"));
  if (auto problem = unstorable_path(*refs))
    return std::unexpected(error_reply(400, origin, *problem));
  request.files = std::move(*refs);
  if (const auto* d = object->if_contains("diagnostics"))
    request.diagnostics = d->is_bool() && d->get_bool();
  auto engine = usable_engine(engine_id);
  if (!engine)
    return std::unexpected(error_reply(400, origin, "compiler not found on this machine"));
  request.engine = std::move(*engine);
  if (object != nullptr) {
    const auto* install = object->if_contains("installMissing");
    request.install_missing = !(install && install->is_bool() && !install->get_bool());
  }
  return request;
}

std::string engine_program(std::string_view engine_id) {
  return engine_id == "agent-tectonic"  ? "tectonic"
         : engine_id == "agent-context" ? "context"
                                        : "latexmk";
}

// Holds a project in `busy_projects` (and counts it as a running compile) until destroyed.
class BusyGuard {
 public:
  static std::optional<BusyGuard> acquire(ServerContext& context, const std::string& project) {
    std::lock_guard lock(context.busy_mutex);
    if (!context.busy_projects.insert(project).second) return std::nullopt;
    active_compiles().fetch_add(1);
    return BusyGuard(context, project);
  }
  BusyGuard(BusyGuard&& other) noexcept
      : context_(std::exchange(other.context_, nullptr)), project_(other.project_) {}
  BusyGuard(const BusyGuard&) = delete;
  ~BusyGuard() {
    if (context_ == nullptr) return;
    std::lock_guard lock(context_->busy_mutex);
    if (context_->busy_projects.erase(project_) > 0) active_compiles().fetch_sub(1);
  }

 private:
  BusyGuard(ServerContext& context, std::string project)
      : context_(&context), project_(std::move(project)) {}
  ServerContext* context_;
  std::string project_;
};

struct RunOutcome {
  bool ok = false;
  bool timed_out = false;
  std::string output;  // standard output followed by standard error
  std::string stdout_text;
};

class CompileJob {
 public:
  CompileJob(const CompileRequest& request, Workspace workspace, Clock::time_point started)
      : request_(request), workspace_(std::move(workspace)), started_(started) {}

  Reply run(const AllowedOrigin& origin) {
    const std::string path_value = tool_path_value();
    const std::string_view id = request_.engine.id;
    std::optional<fs::path> tlmgr;
    if (id != "agent-tectonic" && id != "agent-context") tlmgr = find_program("tlmgr");
    const std::string job = job_name(request_.main_file);
    const std::string program = engine_program(id);
    const auto program_path = find_program(program);
    if (!program_path)
      return error_reply(500, origin, "could not start the compiler: " + program + " not found");
    const int limit = run_limit_secs();
    t0_ = Clock::now();

    if (tlmgr && request_.install_missing)
      preinstall_from_sources(workspace_.work_dir, request_.files, *tlmgr, path_value, installs_);

    EngineRun run;
    run.engine_id = id;
    run.program = *program_path;
    run.main_file = request_.main_file;
    run.work_dir = workspace_.work_dir;
    run.out_dir = workspace_.out_dir;
    run.path_value = path_value;
    // Caches the agent built for every run to read, and the project's own to write.
    std::vector<fs::path> shared;
    if (id == "agent-lualatex")
      if (auto fonts = shared_font_cache()) {
        if (auto seeded = seed_font_names(*fonts, run_cache_dir() / "luatex"); !seeded)
          add_notes({seeded.error()});
        shared.push_back(*fonts);
      }
    if (id == "agent-context") {
      const auto vars = context_env(*program_path);
      for (const auto& [name, value] : vars) {
        if (name != "TEXMFCACHE") {
          run.extra_env.emplace_back(name, value);
          continue;
        }
        prepare_context_cache(utf8_path(value), *program_path, vars);
        shared.push_back(utf8_path(value));
      }
      run.context_engine_dir = context_engine_dir();
      if (run.context_engine_dir) shared.push_back(*run.context_engine_dir);
    }
    for (auto& var : private_cache_env(run_cache_dir(), shared)) run.extra_env.push_back(var);
    run.confinement = engine_confinement(id, workspace_.work_dir, shared);
    add_notes(prepare_eps_figures(run, request_.files));

    PreambleKey key{request_.project,    std::string(id),    request_.main_file,
                    workspace_.work_dir, workspace_.out_dir, {}};
    for (const FileRef& ref : request_.files) key.project_paths.push_back(ref.path);
    const PreambleCheck preamble = check_preamble_format(key);
    Passes passes = preamble.use ? passes_from_format(run, *preamble.use, key, job, limit, tlmgr,
                                                      path_value, origin)
                                 : run_passes(run, job, limit, tlmgr, path_value, origin,
                                              last_run_format_differs(key, std::nullopt));
    if (passes.early) return std::move(*passes.early);
    if (preamble.dump && made_document(passes, job)) request_preamble_dump(key, run);
    std::string log = std::move(passes.log);
    if (passes.cleared_outputs)
      log =
          "An error was found in a file left in _out by an earlier compile: the auxiliary files "
          "in _out were deleted and the document compiled again.\n\n" +
          log;
    if (!notes_.empty()) log = join(notes_, "\n") + "\n\n" + log;
    return final_reply(origin, job, std::move(log), passes.last, limit);
  }

 private:
  struct Passes {
    std::optional<Reply> early;  // the compile ends with this reply
    std::string log;
    RunOutcome last;
    bool cleared_outputs = false;
  };

  bool made_document(const Passes& passes, const std::string& job) const {
    return passes.last.ok && metadata_readable(workspace_.out_dir / (job + ".pdf"));
  }

  // The passes started from the preamble's format. A run from it that fails, or that did not begin
  // the document on the main file's line, is followed by the passes without it, from the start.
  Passes passes_from_format(EngineRun& run, const SavedFormat& format, const PreambleKey& key,
                            const std::string& job, int limit, const std::optional<fs::path>& tlmgr,
                            const std::string& path_value, const AllowedOrigin& origin) {
    run.format = format.file;
    const fs::path log_path = workspace_.out_dir / (job + ".log");
    const auto log_before = platform::regular_file_stamp(log_path);
    Passes passes = run_passes(run, job, limit, tlmgr, path_value, origin,
                               last_run_format_differs(key, run.format));
    if (passes.early) return passes;
    // latexmk found nothing to do: the outputs are those of the last compile, which stand.
    const bool engine_ran = !log_before || platform::regular_file_stamp(log_path) != log_before;
    const std::string why =
        !made_document(passes, job) ? "the run from it failed"
        : engine_ran && format_start_line(passes.log) != format.begin_line
            ? "the run from it did not begin the document where the main file does"
            : std::string();
    if (why.empty()) {
      if (engine_ran)
        add_notes({"The preamble was loaded from the format the agent saved for it."});
      return passes;
    }
    const auto* runs = platform::ThreadRuns::current();
    if ((runs != nullptr && runs->cancellation().cancelled()) || passes.last.timed_out)
      return passes;
    run.format.reset();
    passes = run_passes(run, job, limit, tlmgr, path_value, origin, true);
    if (passes.early) return passes;
    if (made_document(passes, job))
      reject_preamble_format(key, why + " where the compile without it did not");
    add_notes({"The format saved for the preamble could not be used (" + why +
               "): the document was compiled without it."});
    return passes;
  }

  // The engine's runs until the document is made or cannot be: packages installed between them,
  // indexes built, an output folder an earlier version spoiled cleared once. `forced`: the first
  // run rebuilds everything too.
  Passes run_passes(EngineRun& run, const std::string& job, int limit,
                    const std::optional<fs::path>& tlmgr, const std::string& path_value,
                    const AllowedOrigin& origin, bool forced = false) {
    const fs::path pdf = workspace_.out_dir / (job + ".pdf");
    Passes passes;
    auto& [early, log, last, cleared_outputs] = passes;
    int index_rounds = 0;
    bool index_rerun = false;
    for (int pass = 0;;) {
      // Not forced after makeindex: latexmk would redo its own makeindex over the document's.
      run.forced = (pass > 0 || forced) && !index_rerun;
      auto outcome = run_once(run, job, limit);
      if (!outcome) {
        early = error_reply(500, origin, "could not start the compiler: " + outcome.error());
        return passes;
      }
      if (!outcome->ok && !run.forced &&
          (outcome->stdout_text.find("in previous invocation of latexmk") != std::string::npos ||
           outcome->stdout_text.find("Nothing to do") != std::string::npos)) {
        run.forced = true;
        outcome = run_once(run, job, limit);
        if (!outcome) {
          early = error_reply(500, origin, "could not start the compiler: " + outcome.error());
          return passes;
        }
      }
      last = std::move(*outcome);
      auto log_file = read_log_bounded(workspace_.out_dir / (job + ".log"));
      if (log_file && !is_valid_utf8(*log_file)) log_file.reset();
      log = pass_log(log_file.value_or(""), last.output, request_.engine.name);

      index_rerun = false;
      if (last.ok && index_rounds < MAX_INDEX_ROUNDS) {
        IndexRound round = build_requested_indexes(run, log);
        add_notes(std::move(round.notes));
        if (round.changed) {
          ++index_rounds;
          index_rerun = true;
          continue;
        }
      }
      if (last.ok && metadata_readable(pdf)) break;
      // What an earlier version of the document left in _out can fail every run: cleared once.
      if (!last.timed_out && !cleared_outputs && error_in_output_folder(log, workspace_.out_dir)) {
        cleared_outputs = true;
        remove_auxiliary_files(workspace_.out_dir, job);
        add_notes(prepare_eps_figures(run, request_.files));
        continue;
      }
      if (!request_.install_missing || last.timed_out) break;
      if (Clock::now() - t0_ >= INSTALL_BUDGET || !tlmgr) break;
      if (!install_from_log(log, *tlmgr, path_value, installs_, request_.files)) break;
      if (++pass == MAX_PASSES) {
        early = pass_limit_reply(origin, log);
        return passes;
      }
    }
    return passes;
  }

  std::expected<RunOutcome, std::string> run_once(const EngineRun& run, const std::string& job,
                                                  int limit) {
    const bool context = run.engine_id == "agent-context";
    if (context) {
      remove_quietly(workspace_.work_dir / (job + ".pdf"));
      remove_quietly(workspace_.out_dir / (job + ".pdf"));
    }
    std::error_code ec;
    fs::create_directories(workspace_.out_dir / ".tmp", ec);
    platform::RunOptions options;
    options.time_limit = std::chrono::seconds(limit);
    options.output_limit = ENGINE_OUTPUT_LIMIT;
    const auto result = platform::run(engine_command(run), options);
    if (!result) return std::unexpected(result.error());
    // The run may have left links in place of these files or of _out itself: none is followed.
    if (context && !platform::is_link(workspace_.out_dir)) {
      for (const char* ext : {".pdf", ".log"}) {
        const fs::path from = workspace_.work_dir / (job + ext);
        const fs::path to = workspace_.out_dir / (job + ext);
        if (platform::is_link(from) || !fs::is_regular_file(from, ec)) continue;
        remove_quietly(to);
        if (auto copied = platform::clone_or_copy(from, to); !copied)
          add_notes({platform::path_text(to.filename()) +
                     " could not be copied into _out: " + copied.error()});
      }
    }
    RunOutcome outcome;
    outcome.ok = result->success() && !result->timed_out;
    outcome.timed_out = result->timed_out;
    outcome.stdout_text = utf8_lossy(result->out);
    outcome.output = outcome.stdout_text + utf8_lossy(result->err);
    return outcome;
  }

  // The project's own TeX and font caches: what one project's runs write there reaches no other.
  fs::path run_cache_dir() const { return workspace_.out_dir / ".cache"; }

  json::object base_reply() const {
    json::array installed;
    for (const auto& p : installs_.installed) installed.push_back(json::value(p));
    json::object reply;
    reply["engine_used"] = std::string(request_.engine.name) + " (local)";
    reply["installed"] = std::move(installed);
    reply["mainFile"] = request_.main_file;
    reply["ms"] = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count());
    return reply;
  }

  Reply pass_limit_reply(const AllowedOrigin& origin, const std::string& log) const {
    json::object reply = base_reply();
    reply["log"] =
        "Stopped installing packages automatically (too many rounds or timed out). Installed: " +
        join(installs_.installed, ", ") + ".\n\n" + log;
    reply["success"] = false;
    return json_reply(200, origin, std::move(reply));
  }

  Reply final_reply(const AllowedOrigin& origin, const std::string& job, std::string log,
                    const RunOutcome& last, int limit) const {
    const fs::path out = workspace_.out_dir;
    const bool pdf_present = metadata_readable(out / (job + ".pdf"));
    log = assemble_log(std::move(log), installs_, last.ok && pdf_present, last.timed_out, limit);

    OutputFile pdf_file = read_output_file(out / (job + ".pdf"));
    OutputFile synctex_file = read_output_file(out / (job + ".synctex.gz"));
    OutputFile bbl_file = read_output_file(out / (job + ".bbl"));
    for (const auto& [file, name] :
         {std::pair{&pdf_file, "PDF"}, std::pair{&synctex_file, "SyncTeX file"},
          std::pair{&bbl_file, "bibliography file"}})
      if (file->too_large > 0)
        log += std::string("\n\nThe ") + name + " is too large to send (" +
               std::to_string(file->too_large >> 20) + " MiB; at most " +
               std::to_string(MAX_OUTPUT_BYTES >> 20) + " MiB are sent).";
    auto& pdf = pdf_file.bytes;
    if (pdf && !(pdf->size() >= 5 && pdf->starts_with("%PDF-"))) pdf.reset();
    auto& synctex = synctex_file.bytes;
    if (synctex && !(synctex->size() >= 2 && static_cast<unsigned char>((*synctex)[0]) == 0x1F &&
                     static_cast<unsigned char>((*synctex)[1]) == 0x8B))
      synctex.reset();
    auto& bbl = bbl_file.bytes;
    if (bbl && bbl->empty()) bbl.reset();

    const bool success = last.ok && pdf.has_value();
    const auto encoded = [&](const std::optional<std::string>& file) -> json::value {
      if (!success || !file) return nullptr;
      return json::value(base64_encode(*file));
    };
    json::object reply = base_reply();
    reply["log"] = std::move(log);
    reply["success"] = success;
    reply["pdf_base64"] = encoded(pdf);
    reply["synctex_base64"] = encoded(synctex);
    reply["bbl_base64"] = encoded(bbl);
    if (request_.diagnostics) reply["diagnostics"] = diagnostics(job);
    return json_reply(200, origin, std::move(reply));
  }

  // The errors and warnings of the last pass's log and of BibTeX's or Biber's transcript.
  json::array diagnostics(const std::string& job) const {
    std::vector<std::string> paths;
    for (const FileRef& ref : request_.files) paths.push_back(ref.path);
    const std::string main_dir = fs::path(request_.main_file).parent_path().generic_string();
    const ProjectPaths project(workspace_.work_dir.generic_string(), main_dir, paths);
    // A cancel of the compile also stops the scan of a long log.
    const auto* runs = platform::ThreadRuns::current();
    auto found =
        tex_log_diagnostics(read_log_bounded(workspace_.out_dir / (job + ".log")).value_or(""),
                            project, runs != nullptr ? &runs->cancellation() : nullptr);
    for (auto& d : bibliography_diagnostics(
             read_log_bounded(workspace_.out_dir / (job + ".blg")).value_or(""), project))
      found.push_back(std::move(d));
    return diagnostics_json(found);
  }

  // Lines for the top of the log from the steps around the engine runs, each once.
  void add_notes(std::vector<std::string> notes) {
    for (auto& note : notes)
      if (std::find(notes_.begin(), notes_.end(), note) == notes_.end())
        notes_.push_back(std::move(note));
  }

  const CompileRequest& request_;
  Workspace workspace_;
  std::vector<std::string> notes_;
  Clock::time_point started_;
  Clock::time_point t0_;  // the compile proper begins: the installations' budget counts from here
  InstallLog installs_;
};

}  // namespace

std::atomic<std::uint64_t>& active_compiles() {
  static std::atomic<std::uint64_t> count{0};
  return count;
}

namespace {

// The reply of a compile that was cancelled: no outputs, and a log that says so, followed by what
// the engine wrote before it was stopped.
Reply cancelled_reply(Reply job_reply, const RunningCompile& running, const AllowedOrigin& origin) {
  boost::system::error_code ec;
  json::value parsed = json::parse(job_reply.body, ec);
  json::object* reply = ec ? nullptr : parsed.if_object();
  if (reply == nullptr || !reply->contains("success")) return job_reply;
  std::string log = "Compilation cancelled.";
  const auto* job_log = reply->if_contains("log");
  if (running.passes() > 0 && job_log && job_log->is_string() && !job_log->get_string().empty())
    log += "\n\n" + std::string(job_log->get_string());
  (*reply)["log"] = std::move(log);
  (*reply)["success"] = false;
  for (const char* output : {"pdf_base64", "synctex_base64", "bbl_base64"})
    (*reply)[output] = nullptr;
  return json_reply(200, origin, std::move(*reply));
}

Reply compile(ServerContext& context, const json::value& body,
              const std::vector<std::string>& repeated_keys, const AllowedOrigin& origin,
              std::shared_ptr<platform::Cancellation> cancellation) {
  const auto started = Clock::now();
  auto request = validate(body, repeated_keys, origin);
  if (!request) return std::move(request.error());
  // Declared before the project is held, so that it is unregistered only once the project is
  // free: a cancel that waits for it then finds the project free.
  std::optional<RunningCompile> running;
  auto busy = BusyGuard::acquire(context, request->project);
  if (!busy) return error_reply(409, origin, "this project is already being compiled");
  if (!cancellation) cancellation = std::make_shared<platform::Cancellation>();
  running.emplace(request->project, engine_program(request->engine.id), cancellation, started);
  running->wait_for_turn();

  json::array need;
  for (const FileRef& ref : request->files)
    if (auto missing = blob_missing(ref.sha256)) need.push_back(json::value(*missing));
  if (!need.empty())
    return json_reply(409, origin,
                      json::object{{"error", "missing contents"}, {"need", std::move(need)}});

  // A dump of the project's preamble reads its files: it stops before they change.
  stop_preamble_dumps(request->project);
  auto workspace = materialize(request->project, request->files);
  if (!workspace) return error_reply(500, origin, workspace.error());
  const auto main_folder = request->main_file.rfind('/');
  if (main_folder != std::string::npos)
    mirror_folders_below(*workspace, request->files, request->main_file.substr(0, main_folder));
  CompileJob job(*request, std::move(*workspace), started);
  Reply reply = job.run(origin);
  if (running->cancelled()) return cancelled_reply(std::move(reply), *running, origin);
  return reply;
}

}  // namespace

Reply compile_endpoint(ServerContext& context, const json::value& body, const AllowedOrigin& origin,
                       const std::vector<std::string>& repeated_keys,
                       std::shared_ptr<platform::Cancellation> cancellation) {
  // Whatever a project makes the agent run into ends this request, never the agent.
  try {
    return compile(context, body, repeated_keys, origin, std::move(cancellation));
  } catch (const std::exception& e) {
    return error_reply(500, origin, std::string("internal error while compiling: ") + e.what());
  }
}

}  // namespace vellora
