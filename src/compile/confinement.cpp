#include "compile/confinement.h"

#include <mutex>

#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/process.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

struct TexTrees {
  std::vector<fs::path> readable;
  std::vector<fs::path> writable;
};

// The entries of a kpathsea path value after brace expansion: ":"-separated, "!!" dropped.
std::vector<fs::path> kpathsea_list(const fs::path& kpsewhich, const std::string& expression) {
  platform::Command command;
  command.program = kpsewhich;
  command.args = {"-expand-braces=" + expression};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(30);
  std::vector<fs::path> paths;
  const auto result = platform::run(command, options);
  if (!result || !result->success()) return paths;
  for (std::string_view line : split_lines(result->out)) {
    for (const auto& entry : platform::split_path_list(std::string(trim(line)))) {
      std::string text = platform::path_text(entry);
      if (text.starts_with("!!")) text.erase(0, 2);
      if (!text.empty() && text.find_first_of("{}$") == std::string::npos)
        paths.push_back(fs::path(text));
    }
  }
  return paths;
}

bool is_within(const fs::path& path, const fs::path& root) {
  const auto rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

fs::path normal(const fs::path& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : p;
}

// Asked once: the trees do not move while the agent runs, and each question starts kpsewhich.
const TexTrees& tex_trees() {
  static std::mutex mutex;
  static std::optional<TexTrees> trees;
  std::lock_guard lock(mutex);
  if (trees) return *trees;
  trees.emplace();
  const auto kpsewhich = find_program("kpsewhich");
  if (!kpsewhich) return *trees;
  trees->readable = kpathsea_list(
      *kpsewhich,
      "$TEXMF:$TEXMFROOT:$TEXMFDIST:$TEXMFLOCAL:$TEXMFHOME:$TEXMFSYSVAR:$TEXMFSYSCONFIG:"
      "$TEXMFCONFIG");
  // The user's caches: TEXMFVAR, and those entries of TEXMFCACHE that are the user's own rather
  // than the system's.
  const auto var = kpathsea_list(*kpsewhich, "$TEXMFVAR");
  trees->writable = var;
  const fs::path home = normal(home_dir());
  for (const auto& cache : kpathsea_list(*kpsewhich, "$TEXMFCACHE"))
    if (is_within(normal(cache), home)) trees->writable.push_back(cache);
  // A cache folder must exist before the run: the run itself may not create it beside the
  // user's other files.
  for (const auto& dir : trees->writable) {
    std::error_code ec;
    fs::create_directories(dir, ec);
  }
  return *trees;
}

fs::path env_dir(const char* name, const fs::path& fallback) {
  if (auto value = platform::get_env_path(name); value && value->is_absolute()) return *value;
  return fallback;
}

}  // namespace

std::vector<fs::path> without_agent_dirs(std::vector<fs::path> paths, const fs::path& config,
                                         const fs::path& cache) {
  const fs::path own[] = {normal(config), normal(cache)};
  std::erase_if(paths, [&](const fs::path& path) {
    if (!path.is_absolute()) return true;
    const fs::path p = normal(path);
    for (const fs::path& dir : own)
      if (p == dir || is_within(dir, p) || is_within(p, dir)) return true;
    return false;
  });
  return paths;
}

platform::Confinement engine_confinement(
    std::string_view engine_id, const fs::path& work_dir,
    const std::vector<std::pair<std::string, std::string>>& env) {
  const fs::path home = home_dir();
  const fs::path xdg_cache = env_dir("XDG_CACHE_HOME", home / ".cache");
  const fs::path xdg_config = env_dir("XDG_CONFIG_HOME", home / ".config");
  const fs::path xdg_data = env_dir("XDG_DATA_HOME", home / ".local/share");
  const TexTrees& trees = tex_trees();

  std::vector<fs::path> readable = {"/usr", "/etc", "/lib", "/lib32", "/lib64", "/libx32", "/bin",
                                    "/sbin", "/opt", "/var/lib/texmf", "/var/cache/fontconfig",
                                    // kpathsea and Perl look at their own process
                                    // there; another process's private files need
                                    // ptrace rights, which a confined run lacks.
                                    "/proc",
                                    // The devices programs expect, not /dev/shm with
                                    // other programs' shared memory.
                                    "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                                    "/dev/tty"};
  readable.insert(readable.end(), trees.readable.begin(), trees.readable.end());
  for (const fs::path& fonts : {home / ".fonts", xdg_data / "fonts", xdg_config / "fontconfig",
                                home / ".fontconfig", home / ".TinyTeX", tinytex_dir(home)})
    readable.push_back(fonts);
  for (const auto& dir : tool_search_dirs()) readable.push_back(dir);

  std::vector<fs::path> writable = trees.writable;
  const fs::path font_cache = xdg_cache / "fontconfig";
  std::error_code ec;
  fs::create_directories(font_cache, ec);
  writable.push_back(font_cache);

  platform::Confinement confinement;
  if (engine_id == "agent-tectonic") {
    const fs::path tectonic_cache = xdg_cache / "Tectonic";
    fs::create_directories(tectonic_cache, ec);
    writable.push_back(tectonic_cache);
    readable.push_back(xdg_config / "Tectonic");
    confinement.network = true;
  }
  const fs::path config = config_dir(), cache = cache_dir();
  confinement.read_only = without_agent_dirs(std::move(readable), config, cache);
  confinement.writable = without_agent_dirs(std::move(writable), config, cache);
  // Chosen by the agent itself, so allowed even inside its cache: ConTeXt's cache where its
  // installation names none.
  for (const auto& [name, value] : env)
    if (name == "TEXMFCACHE") confinement.writable.push_back(fs::path(value));
  confinement.writable.push_back(work_dir);
  confinement.writable.push_back(platform::null_device());
  return confinement;
}

}  // namespace vellora
