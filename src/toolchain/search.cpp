#include "toolchain/search.h"

#include "dirs/dirs.h"
#include "platform/env.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// The entries of a directory in listing order; nothing when it cannot be listed.
std::vector<fs::path> list_dir(const fs::path& dir) {
  std::vector<fs::path> entries;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return entries;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    entries.push_back(it->path());
  }
  return entries;
}

}  // namespace

fs::path tinytex_dir(const fs::path& home) {
  const auto appdata = platform::get_env_path("APPDATA");
  return (appdata ? *appdata : home / "AppData/Roaming") / "TinyTeX";
}

std::vector<fs::path> tool_search_dirs() {
  std::vector<fs::path> dirs;
  if (const auto path = platform::get_env("PATH")) {
    for (auto& entry : platform::split_path_list(path->text)) dirs.push_back(std::move(entry));
  }
  for (const char* fixed : {"/usr/local/bin", "/usr/bin", "/bin"}) dirs.emplace_back(fixed);
  const fs::path home = home_dir();
  dirs.push_back(home / ".local/bin");
  const auto local_appdata = platform::get_env_path("LOCALAPPDATA");
  dirs.push_back((local_appdata ? *local_appdata : home / "AppData/Local") /
                 "Programs/MiKTeX/miktex/bin/x64");
  // Drive-letter locations mean nothing elsewhere (they would be relative paths there).
  if (platform::on_windows()) {
    dirs.emplace_back("C:\\Program Files\\MiKTeX\\miktex\\bin\\x64");
    for (const auto& entry : list_dir("C:\\texlive")) {
      dirs.push_back(entry / "bin/windows");
      dirs.push_back(entry / "bin/win64");
    }
  }
  for (const fs::path& base : {home / ".TinyTeX/bin", home / "Library/TinyTeX/bin",
                               tinytex_dir(home) / "bin", fs::path("/usr/local/texlive")}) {
    for (const auto& entry : list_dir(base)) {
      dirs.push_back(entry);
      dirs.push_back(entry / "bin");
      for (const auto& platform_dir : list_dir(entry / "bin")) dirs.push_back(platform_dir);
    }
  }
  for (const auto& entry : list_dir(home / "context/tex")) {
    const std::string name = platform::path_text(entry.filename());
    if (name.size() >= 6 && name.starts_with("texmf-")) dirs.push_back(entry / "bin");
  }
  return dirs;
}

std::optional<fs::path> find_program(const std::string& name) {
  return find_program_in(tool_search_dirs(), name);
}

std::optional<fs::path> find_program_in(const std::vector<fs::path>& dirs,
                                        const std::string& name) {
  const std::vector<std::string> candidates =
      platform::on_windows() ? std::vector{name + ".exe", name + ".bat"} : std::vector{name};
  for (const auto& dir : dirs) {
    for (const auto& candidate : candidates) {
      const fs::path path = dir / candidate;
      if (platform::is_runnable_file(path)) return path;
    }
  }
  return std::nullopt;
}

std::string tool_path_value() {
  return platform::join_path_list(tool_search_dirs());
}

}  // namespace vellora
