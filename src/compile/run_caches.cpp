#include "compile/run_caches.h"

#include <mutex>
#include <string>

#include "common/file.h"
#include "common/text.h"
#include "compile/confinement.h"
#include "dirs/dirs.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/program.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

const char* const NAMES = "luatex-cache/generic/names";

bool has_font_names(const fs::path& cache) {
  std::error_code ec;
  return fs::is_directory(cache / NAMES, ec) && !fs::is_empty(cache / NAMES, ec);
}

// One confined LuaTeX tool run with `dir` as its only writable folder and its caches.
bool run_in(const fs::path& dir, const fs::path& program, std::vector<std::string> args,
            const std::vector<std::pair<std::string, std::string>>& vars = {}) {
  platform::Command command;
  command.program = program;
  command.args = std::move(args);
  command.cwd = dir;
  command.inherit_environment = false;
  command.env = allowed_environment();
  command.env.emplace_back("PATH", tool_path_value());
  command.env.emplace_back("TEXMFCACHE", platform::path_text(dir));
  command.env.emplace_back("TEXMFVAR", platform::path_text(dir / "texmf-var"));
  command.env.emplace_back("openout_any", "p");
  command.env.emplace_back("shell_escape", "f");
  for (const auto& var : vars) command.env.push_back(var);
  command.confinement = engine_confinement("agent-lualatex", dir, {});
  platform::RunOptions options;
  options.time_limit = std::chrono::minutes(10);
  const auto result = platform::run(command, options);
  return result && result->success();
}

std::optional<fs::path> build_font_cache(const fs::path& target) {
  const auto tool = find_program("luaotfload-tool");
  const auto lualatex = find_program("lualatex");
  if (!tool || !lualatex) return std::nullopt;
  const fs::path building =
      target.parent_path() / (".building-" + std::to_string(platform::random_u32()));
  std::error_code ec;
  fs::create_directories(building, ec);
  bool built = run_in(building, *tool, {"--update"}) && has_font_names(building);
  if (built) {
    // Latin Modern compiled once here rather than in every new project.
    const std::string warm =
        "\\documentclass{article}\\begin{document}a\\textbf{b}\\textit{c}\\texttt{d}$e$"
        "\\end{document}";
    built = write_atomic(building / "warm.tex", warm).has_value() &&
            run_in(building, *lualatex, {"-interaction=batchmode", "-no-shell-escape", "warm.tex"});
  }
  if (built) {
    fs::rename(building, target, ec);
    if (ec && has_font_names(target)) ec.clear();  // built meanwhile by another agent
    built = !ec;
  }
  fs::remove_all(building, ec);
  if (!built) return std::nullopt;
  return target;
}

// A text the POSIX shell reads back as exactly `text`.
std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::optional<fs::path> shared_font_cache() {
  static std::mutex mutex;
  static bool tried = false;
  std::lock_guard lock(mutex);
  // VELLORA_FONT_CACHE names another folder for it (the tests share one between agents).
  fs::path target = cache_dir() / "tex-fonts";
  if (auto named = platform::get_env_path("VELLORA_FONT_CACHE"); named && named->is_absolute())
    target = *named;
  if (has_font_names(target)) return target;
  if (tried) return std::nullopt;
  tried = true;
  return build_font_cache(target);
}

std::expected<void, std::string> seed_font_names(const fs::path& shared,
                                                 const fs::path& private_luatex) {
  const fs::path to = private_luatex / NAMES;
  if (has_font_names(private_luatex)) return {};
  // Copied beside its place and renamed into it: a copy cut short (a full disk) would otherwise
  // count as the project's database from then on.
  const fs::path partial = to.parent_path() / ".names-partial";
  std::error_code ec;
  fs::remove_all(partial, ec);
  fs::create_directories(partial, ec);
  const auto give_up = [&](const std::string& reason) {
    fs::remove_all(partial, ec);
    return std::unexpected("the font-name database could not be copied into the project: " +
                           reason);
  };
  if (ec) return give_up(ec.message());
  for (const auto& entry : fs::directory_iterator(shared / NAMES, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    if (auto copied = platform::clone_or_copy(entry.path(), partial / entry.path().filename());
        !copied)
      return give_up(copied.error());
  }
  if (ec) return give_up(ec.message());
  fs::remove_all(to, ec);  // an empty folder left by an earlier attempt
  fs::rename(partial, to, ec);
  if (ec) return give_up(ec.message());
  return {};
}

void prepare_context_cache(const fs::path& cache, const fs::path& context,
                           const std::vector<std::pair<std::string, std::string>>& vars) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(cache, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->path().extension() == ".fmt") return;
  fs::create_directories(cache, ec);
  std::vector<std::pair<std::string, std::string>> env;
  for (const auto& [name, value] : vars)
    if (name != "TEXMFCACHE") env.emplace_back(name, value);
  const auto mtxrun = find_program("mtxrun");
  if (mtxrun) run_in(cache, *mtxrun, {"--generate"}, env);
  run_in(cache, context, {"--make"}, env);
}

std::optional<fs::path> context_engine_dir() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (platform::on_windows()) return std::nullopt;
  const auto luatex = find_program("luatex");
  if (!luatex) return std::nullopt;
  const fs::path dir = cache_dir() / "tex-tools" / "context";
  const fs::path stub = dir / "no-shell-escape.lua";
  const std::string script =
      "#!/bin/sh\n"
      "# Written by vellora-agent: ConTeXt's LuaTeX without shell escape, so that a document\n"
      "# has neither programs nor LuaTeX's ffi.\n"
      "for a do\n"
      "  shift\n"
      "  case \"$a\" in\n"
      "    --shell-escape) ;;\n"
      "    --lua=*) VELLORA_CONTEXT_LUI=${a#--lua=}; export VELLORA_CONTEXT_LUI\n"
      "             set -- \"$@\" " +
      shell_quoted("--lua=" + platform::path_text(stub)) +
      " ;;\n"
      "    *) set -- \"$@\" \"$a\" ;;\n"
      "  esac\n"
      "done\n"
      "exec " +
      shell_quoted(platform::path_text(*luatex)) + " \"$@\"\n";
  const std::string lua =
      "-- ConTeXt's startup code, then shell escape off: LuaTeX reads it once this file ends.\n"
      "dofile(os.getenv(\"VELLORA_CONTEXT_LUI\"))\n"
      "texconfig.shell_escape = \"f\"\n";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (read_file(dir / "luatex") != script || read_file(stub) != lua) {
    if (!write_atomic(stub, lua) || !write_atomic(dir / "luatex", script) ||
        !platform::make_executable(dir / "luatex"))
      return std::nullopt;
  }
  return dir;
}

void prepare_engine_runs() {
  discover_tex_trees();
  context_engine_dir();
  shared_font_cache();
}

}  // namespace vellora
