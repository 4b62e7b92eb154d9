#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "dirs/dirs.h"
#include "platform/env.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// XDG base directories: a variable that is unset, empty or relative does not count.
std::optional<fs::path> absolute_variable(const char* name) {
  auto value = platform::get_env_path(name);
  if (!value || value->empty() || !value->is_absolute()) return std::nullopt;
  return value;
}

std::optional<fs::path> account_home() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return std::nullopt;
  return fs::path(found->pw_dir);
}

}  // namespace

fs::path home_dir() {
  if (auto p = platform::get_env_path("HOME"); p && !p->empty()) return *p;
  if (auto p = account_home()) return *p;
  // Never the current directory: state written there would be lost and found again at random.
  return fs::path("/");
}

fs::path config_dir() {
  if (auto p = absolute_variable("XDG_CONFIG_HOME")) return *p / "vellora-agent";
  return home_dir() / ".config" / "vellora-agent";
}

fs::path cache_dir() {
  if (auto p = absolute_variable("XDG_CACHE_HOME")) return *p / "vellora-agent";
  return home_dir() / ".cache" / "vellora-agent";
}

}  // namespace vellora
