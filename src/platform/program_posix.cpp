#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/program.h"

extern char** environ;

namespace vellora::platform {

std::expected<std::filesystem::path, std::string> current_exe() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::unexpected(ec.message());
  return path;
}

std::filesystem::path system_program(std::string_view name) {
  return std::filesystem::path(name);
}

std::expected<bool, std::string> remove_own_file(const std::filesystem::path& file) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT)
    return std::unexpected(std::string(std::strerror(errno)));
  return false;
}

std::uint64_t current_pid() {
  return static_cast<std::uint64_t>(::getpid());
}

bool stdin_is_terminal() {
  return ::isatty(0) == 1;
}

std::expected<void, std::string> make_executable(const std::filesystem::path& path) {
  if (::chmod(path.c_str(), 0755) != 0) return std::unexpected(std::string(std::strerror(errno)));
  return {};
}

std::expected<void, std::string> start_in_background(const std::filesystem::path& program,
                                                     const std::vector<std::string>& args) {
  std::vector<std::string> text{program.native()};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Nothing else of the caller's: its sockets above all, which would keep a port taken.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A new session: the child keeps running when the caller's terminal or process group goes.
  // Signals the caller ignores (SIGPIPE) are restored to their defaults in the child.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::unexpected(std::string(std::strerror(rc)));
  // Reaped whenever it ends, should this process live that long.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return {};
}

}  // namespace vellora::platform
