#include "compile/confinement.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <mutex>
#include <optional>

#include "common/file.h"
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
  std::vector<fs::path> caches;  // TEXMFCACHE as the installation sets it, read after a run's own
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
  // Read only: the user's own trees and caches among them, which runs see but never write.
  trees->readable = kpathsea_list(
      *kpsewhich,
      "$TEXMF:$TEXMFROOT:$TEXMFDIST:$TEXMFLOCAL:$TEXMFHOME:$TEXMFSYSVAR:$TEXMFSYSCONFIG:"
      "$TEXMFCONFIG:$TEXMFVAR:$TEXMFCACHE");
  trees->caches = kpathsea_list(*kpsewhich, "$TEXMFCACHE");
  // Trees reached through links are read where the links lead.
  const std::size_t named = trees->readable.size();
  for (std::size_t i = 0; i < named; ++i) {
    std::error_code ec;
    const fs::path real = fs::canonical(trees->readable[i], ec);
    if (!ec && real != trees->readable[i]) trees->readable.push_back(real);
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

platform::Confinement engine_confinement(std::string_view engine_id, const fs::path& work_dir,
                                         const std::vector<fs::path>& read_only_caches) {
  const fs::path home = home_dir();
  const fs::path xdg_cache = env_dir("XDG_CACHE_HOME", home / ".cache");
  const fs::path xdg_config = env_dir("XDG_CONFIG_HOME", home / ".config");
  const fs::path xdg_data = env_dir("XDG_DATA_HOME", home / ".local/share");
  const TexTrees& trees = tex_trees();

  std::vector<fs::path> readable = {"/usr", "/lib", "/lib32", "/lib64", "/libx32", "/bin", "/sbin",
                                    "/opt", "/var/lib/texmf", "/var/cache/fontconfig",
                                    // kpathsea and Perl look at their own process there; other
                                    // processes' private files need ptrace rights, which a
                                    // confined run lacks (root's runs give up the capability).
                                    "/proc",
                                    // The devices programs expect, not /dev/shm with other
                                    // programs' shared memory, nor a terminal.
                                    "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};
  // Of /etc, what the C library, Perl, TeX, fonts and paper sizes read: not the password hashes,
  // keys or other programs' settings.
  for (const char* etc :
       {"/etc/texmf",          "/etc/fonts",         "/etc/ld.so.cache",  "/etc/ld.so.conf",
        "/etc/ld.so.conf.d",   "/etc/localtime",     "/etc/timezone",     "/etc/passwd",
        "/etc/group",          "/etc/nsswitch.conf", "/etc/locale.alias", "/etc/locale.conf",
        "/etc/default/locale", "/etc/perl",          "/etc/papersize",    "/etc/paperspecs",
        "/etc/libpaper.d",     "/etc/mime.types",    "/etc/alternatives", "/etc/ghostscript",
        "/etc/texlive",        "/etc/luatex"})
    readable.emplace_back(etc);
  readable.insert(readable.end(), trees.readable.begin(), trees.readable.end());
  for (const fs::path& fonts : {home / ".fonts", xdg_data / "fonts", xdg_config / "fontconfig",
                                home / ".fontconfig", home / ".TinyTeX", tinytex_dir(home)})
    readable.push_back(fonts);
  for (const auto& dir : tool_search_dirs()) readable.push_back(dir);
  // A TeX whose programs are links into a folder of their own (Nix, Guix, Homebrew, a ~/bin link
  // to a TeX installed elsewhere) runs from where the links lead.
  for (const char* program :
       {"latexmk", "pdflatex", "xelatex", "lualatex", "luatex", "tectonic", "context", "mtxrun",
        "kpsewhich", "bibtex", "biber", "makeindex", "xdvipdfmx", "perl", "gs"}) {
    std::error_code ec;
    if (const auto found = find_program(program)) {
      const fs::path real = fs::canonical(*found, ec);
      if (!ec && real.has_parent_path()) readable.push_back(real.parent_path());
    }
  }

  std::vector<fs::path> writable;
  platform::Confinement confinement;
  if (engine_id == "agent-tectonic") {
    const fs::path tectonic_cache = xdg_cache / "Tectonic";
    std::error_code ec;
    fs::create_directories(tectonic_cache, ec);
    writable.push_back(tectonic_cache);
    readable.push_back(xdg_config / "Tectonic");
    // Its bundle comes over HTTPS.
    for (const char* etc : {"/etc/ssl", "/etc/ca-certificates", "/etc/pki", "/etc/resolv.conf",
                            "/etc/hosts", "/etc/host.conf", "/etc/gai.conf"})
      readable.emplace_back(etc);
    confinement.network = true;
  }
  const fs::path config = config_dir(), cache = cache_dir();
  confinement.read_only = without_agent_dirs(std::move(readable), config, cache);
  confinement.writable = without_agent_dirs(std::move(writable), config, cache);
  // Chosen by the agent itself, so allowed even inside its cache.
  for (const auto& dir : read_only_caches) confinement.read_only.push_back(dir);
  confinement.writable.push_back(work_dir);
  confinement.writable.push_back(platform::null_device());
  confinement.memory_limit = run_memory_limit();
  // latexmk, the engine, biber or makeindex, a font generator and its shell: a few dozen at most.
  confinement.process_limit = 64;
  return confinement;
}

void discover_tex_trees() {
  tex_trees();
}

std::uint64_t run_memory_limit() {
  std::uint64_t mib = 4096;
  if (const auto value = platform::get_env("VELLORA_COMPILE_MEMORY_MB")) {
    std::uint64_t parsed = 0;
    const auto* end = value->text.data() + value->text.size();
    if (std::from_chars(value->text.data(), end, parsed).ptr == end && parsed >= 64) mib = parsed;
  }
  return mib << 20;
}

EnvVars allowed_environment() {
  static const char* const exact[] = {"HOME",
                                      "LANG",
                                      "LANGUAGE",
                                      "TZ",
                                      "SOURCE_DATE_EPOCH",
                                      "FORCE_SOURCE_DATE",
                                      "OSFONTDIR",
                                      "FONTCONFIG_FILE",
                                      "FONTCONFIG_PATH"};
  const auto system = platform::system_env_names();
  EnvVars vars;
  for (const std::string& name : platform::env_names()) {
    const bool allowed = std::find(std::begin(exact), std::end(exact), name) != std::end(exact) ||
                         std::find(system.begin(), system.end(), name) != system.end() ||
                         name.starts_with("LC_") || name.starts_with("TEXMF") ||
                         name.ends_with("INPUTS") || name.ends_with("FONTS") ||
                         name == "TEXCONFIG" || name == "WEB2C";
    if (!allowed) continue;
    if (const auto value = platform::get_env(name); value && value->valid_unicode)
      vars.emplace_back(name, value->text);
  }
  return vars;
}

EnvVars private_cache_env(const fs::path& cache_root, const std::vector<fs::path>& shared) {
  const fs::path var = cache_root / "texmf-var";
  std::error_code ec;
  for (const fs::path& dir : {var, cache_root / "luatex", cache_root / "xdg"})
    fs::create_directories(dir, ec);
  // luaotfload and ConTeXt write to the first folder of TEXMFCACHE they can and read all of them.
  std::vector<fs::path> caches = {cache_root / "luatex"};
  caches.insert(caches.end(), shared.begin(), shared.end());
  caches.insert(caches.end(), tex_trees().caches.begin(), tex_trees().caches.end());
  std::string cache_list;
  for (const auto& dir : caches) {
    if (!cache_list.empty()) cache_list += platform::path_list_separator();
    cache_list += platform::path_text(dir);
  }
  return {{"TEXMFVAR", platform::path_text(var)},
          {"VARTEXFONTS", platform::path_text(var / "fonts")},
          {"TEXMFCACHE", cache_list},
          // fontconfig's own cache of the fonts it scanned.
          {"XDG_CACHE_HOME", platform::path_text(cache_root / "xdg")}};
}

}  // namespace vellora
