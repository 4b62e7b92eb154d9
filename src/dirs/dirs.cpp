#include "dirs/dirs.h"

#include "platform/env.h"
#include "platform/files.h"

namespace vellora {
namespace fs = std::filesystem;

fs::path home_dir() {
  if (auto p = platform::get_env_path("USERPROFILE")) return *p;
  if (auto p = platform::get_env_path("HOME")) return *p;
  return fs::path("C:\\");
}

fs::path config_dir() {
  if (auto p = platform::get_env_path("XDG_CONFIG_HOME")) return *p / "vellora-agent";
  if (auto p = platform::get_env_path("APPDATA")) return *p / "vellora-agent";
  return home_dir() / "AppData/Roaming" / "vellora-agent";
}

fs::path cache_dir() {
  if (auto p = platform::get_env_path("XDG_CACHE_HOME")) return *p / "vellora-agent";
  if (auto p = platform::get_env_path("LOCALAPPDATA")) return *p / "vellora-agent";
  return home_dir() / "AppData/Local" / "vellora-agent";
}

void write_atomic(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  fs::path tmp = path;
  tmp.replace_extension("tmp");
  if (!platform::write_file_durable(tmp, bytes)) return;
  fs::rename(tmp, path, ec);
}

void remove_quietly(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace vellora
