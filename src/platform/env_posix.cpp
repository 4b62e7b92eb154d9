#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "common/text.h"
#include "platform/env.h"

extern char** environ;

namespace vellora::platform {

std::optional<EnvValue> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return EnvValue{value, is_valid_utf8(value)};
}

std::vector<std::string> env_names() {
  std::vector<std::string> names;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    names.emplace_back(entry.substr(0, entry.find('=')));
  }
  return names;
}

std::vector<std::string> system_env_names() {
  return {};
}

std::optional<std::filesystem::path> get_env_path(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::filesystem::path(value);
}

char path_list_separator() {
  return ':';
}

std::vector<std::filesystem::path> split_path_list(const std::string& value) {
  std::vector<std::filesystem::path> entries;
  for (std::string_view piece : split(value, ':')) entries.emplace_back(std::string(piece));
  return entries;
}

std::string join_path_list(const std::vector<std::filesystem::path>& entries) {
  std::string out;
  bool first = true;
  for (const auto& entry : entries) {
    const std::string& text = entry.native();
    if (text.empty() || text.find(':') != std::string::npos) continue;
    if (!first) out += ':';
    out += text;
    first = false;
  }
  return out;
}

bool is_runnable_file(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string path_text(const std::filesystem::path& path) {
  return path.native();
}

// The process layer ignores SIGPIPE itself and Asio sends with MSG_NOSIGNAL. A file size limit
// must make a write fail with an error that is reported, not end the process.
void prepare_runtime() {
  std::signal(SIGXFSZ, SIG_IGN);
}

bool on_windows() {
  return false;
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

const char* null_device() {
  return "/dev/null";
}

}  // namespace vellora::platform
