#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/inherited_fds.h"
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

  // Tells the parent why exec failed; closed by a successful exec.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(std::string(std::strerror(errno)));
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int e = errno;
    ::close(report[0]);
    ::close(report[1]);
    return std::unexpected(std::string(std::strerror(e)));
  }
  if (pid == 0) {
    // Only system calls from here on. A new session: the child keeps running when the caller's
    // terminal or process group goes. SIGPIPE, which the caller ignores, is the default again.
    ::setsid();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &action, nullptr);
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3 && null >= 0; ++fd) ::dup2(null, fd);
    // Nothing else of the caller's: its sockets above all, which would keep a port taken.
    close_on_exec_from(3);
    ::execve(argv[0], argv.data(), environ);
    const int e = errno;
    (void)!::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(report[1]);
  int exec_error = 0;
  ssize_t n = 0;
  while ((n = ::read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof exec_error)) {
    ::waitpid(pid, nullptr, 0);
    return std::unexpected(std::string(std::strerror(exec_error)));
  }
  // Reaped whenever it ends, should this process live that long.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return {};
}

}  // namespace vellora::platform
