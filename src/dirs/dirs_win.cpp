#include "dirs/dirs.h"
#include "platform/env.h"

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

}  // namespace vellora
