#include "toolchain/engines.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/process.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

struct EngineRow {
  const char* program;
  std::string_view id;
  std::string_view name;
  bool needs_latexmk;
};

constexpr EngineRow ENGINE_TABLE[] = {
    {"pdflatex", "agent-pdflatex", "pdfLaTeX", true},
    {"xelatex", "agent-xelatex", "XeLaTeX", true},
    {"lualatex", "agent-lualatex", "LuaLaTeX", true},
    {"tectonic", "agent-tectonic", "Tectonic", false},
    {"context", "agent-context", "ConTeXt", false},
};

// A version probe that hangs must not hang the status endpoint or a compile.
constexpr auto VERSION_PROBE_LIMIT = std::chrono::seconds(10);

bool is_dir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

}  // namespace

std::string engine_version(const fs::path& program) {
  platform::Command command;
  command.program = program;
  command.args = {"--version"};
  // The same PATH the engine gets when it compiles.
  command.env = {{"PATH", tool_path_value()}};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = VERSION_PROBE_LIMIT;
  options.output_limit = 1 << 20;
  const auto result = platform::run(command, options);
  if (!result) return {};
  const std::string out = utf8_lossy(result->out);
  const auto lines = split_lines(out);
  if (lines.empty()) return {};
  return std::string(trim(lines.front()));
}

std::vector<EngineInfo> detect_engines() {
  return detect_engines_with([](const std::string& name) { return find_program(name); });
}

std::vector<EngineInfo> recent_engines() {
  // Each detection starts every engine's "--version"; an unauthenticated caller must not be able
  // to make the agent do that without limit.
  constexpr auto FRESH_FOR = std::chrono::seconds(30);
  static std::mutex mutex;
  static std::condition_variable finished;
  static std::optional<std::vector<EngineInfo>> cached;
  static std::chrono::steady_clock::time_point detected_at;
  static bool detecting = false;

  std::unique_lock lock(mutex);
  for (;;) {
    if (cached && std::chrono::steady_clock::now() - detected_at < FRESH_FOR) return *cached;
    if (!detecting) break;
    finished.wait(lock);  // another caller's detection serves this one too
  }
  detecting = true;
  lock.unlock();
  std::optional<std::vector<EngineInfo>> engines;
  try {
    engines = detect_engines();
  } catch (...) {
    lock.lock();
    detecting = false;
    finished.notify_all();
    throw;
  }
  lock.lock();
  cached = engines;
  detected_at = std::chrono::steady_clock::now();
  detecting = false;
  finished.notify_all();
  return *engines;
}

std::vector<EngineInfo> detect_engines_with(const ProgramFinder& find_program) {
  const bool has_latexmk = find_program("latexmk").has_value();
  std::vector<EngineInfo> engines;
  for (const EngineRow& row : ENGINE_TABLE) {
    if (row.needs_latexmk && !has_latexmk) continue;
    if (const auto path = find_program(row.program))
      engines.push_back({row.id, row.name, engine_version(*path)});
  }
  return engines;
}

std::optional<EngineInfo> usable_engine(std::string_view id) {
  for (const EngineRow& row : ENGINE_TABLE) {
    if (row.id != id) continue;
    if (row.needs_latexmk && !find_program("latexmk")) return std::nullopt;
    if (!find_program(row.program)) return std::nullopt;
    return EngineInfo{row.id, row.name, {}};
  }
  return std::nullopt;
}

std::vector<std::string> engine_names() {
  std::vector<std::string> names;
  for (const auto& engine : detect_engines()) names.emplace_back(engine.name);
  return names;
}

json::object engine_json(const EngineInfo& engine) {
  json::object o;
  o["id"] = engine.id;
  o["name"] = engine.name;
  o["version"] = engine.version;
  return o;
}

std::vector<std::pair<std::string, std::string>> context_env(const fs::path& context) {
  if (platform::get_env("TEXMFCNF")) return {};
  std::error_code ec;
  fs::path resolved = fs::canonical(context, ec);
  if (ec) resolved = context;
  if (resolved.has_parent_path() && resolved.parent_path().has_parent_path() &&
      is_dir(resolved.parent_path().parent_path() / "texmf-context"))
    return {};
  std::optional<fs::path> root;
  for (const char* candidate :
       {"/usr/share/texmf-dist/texmf-context", "/usr/share/texmf-context",
        "/usr/local/share/texmf-dist/texmf-context", "/opt/texmf-context"}) {
    if (fs::is_regular_file(fs::path(candidate) / "web2c/contextcnf.lua", ec)) {
      root = candidate;
      break;
    }
  }
  if (!root) return {};
  const fs::path texmf = root->parent_path() / "texmf";
  const std::string texmf_value =
      is_dir(texmf) ? "{" + platform::path_text(*root) + "," + platform::path_text(texmf) + "}"
                    : "{" + platform::path_text(*root) + "}";
  const fs::path cache = cache_dir() / "context";
  fs::create_directories(cache, ec);
  return {{"TEXMFCNF", platform::path_text(*root / "web2c")},
          {"TEXMF", texmf_value},
          {"TEXMFCACHE", platform::path_text(cache)}};
}

}  // namespace vellora
