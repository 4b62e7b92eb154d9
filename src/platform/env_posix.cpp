#include <csignal>
#include <cstdlib>

#include "common/text.h"
#include "platform/env.h"

namespace vellora::platform {

std::optional<EnvValue> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return EnvValue{value, is_valid_utf8(value)};
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

std::optional<std::string> join_path_list(const std::vector<std::filesystem::path>& entries) {
  std::string out;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string text = entries[i].native();
    if (text.find(':') != std::string::npos) return std::nullopt;
    if (i > 0) out += ':';
    out += text;
  }
  return out;
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
