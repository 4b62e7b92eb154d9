#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "platform/inherited_fds.h"
#include "platform/process.h"
#include "platform/running_trees.h"

extern char** environ;

namespace vellora::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset();
    fd = std::exchange(o.fd, -1);
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct Pipe {
  Fd read, write;
};

std::expected<Pipe, std::string> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::strerror(errno));
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> resolve_program(const std::filesystem::path& program) {
  const std::string& text = program.native();
  if (text.find('/') != std::string::npos) return text;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + text;
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

std::vector<std::string> build_environment(const Command& command) {
  std::vector<std::string> env;
  for (char** e = environ; command.inherit_environment && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : command.env) replaced = replaced || key == name;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : command.env) env.push_back(key + "=" + value);
  return env;
}

// Keeps the last `limit` bytes of a stream.
void append_tail(std::string& buffer, const char* data, std::size_t size, std::size_t limit) {
  buffer.append(data, size);
  if (buffer.size() > 2 * limit + 65536) buffer.erase(0, buffer.size() - limit);
}

// Copies a child's output to one of this process's own streams; a failed write only loses the copy.
void echo(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, static_cast<std::size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= n;
  }
}

void trim_tail(std::string& buffer, std::size_t limit) {
  if (buffer.size() > limit) buffer.erase(0, buffer.size() - limit);
}

struct Started {
  pid_t pid = -1;
  Fd stdin_write, stdout_read, stderr_read;
};

// Every child leads a process group of its own, so that its whole tree can be killed at once.
std::expected<Started, std::string> start(const Command& command) {
  const auto program = resolve_program(command.program);
  if (!program) return std::unexpected(std::string(std::strerror(ENOENT)));

  std::vector<std::string> args{*program};
  args.insert(args.end(), command.args.begin(), command.args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = build_environment(command);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string cwd = command.cwd.native();

  std::optional<Pipe> in, out, err;
  if (command.input) {
    auto p = make_pipe();
    if (!p) return std::unexpected(p.error());
    in = std::move(*p);
  }
  if (command.capture_output) {
    auto p = make_pipe();
    if (!p) return std::unexpected(p.error());
    out = std::move(*p);
    auto q = make_pipe();
    if (!q) return std::unexpected(q.error());
    err = std::move(*q);
  }
  PreparedConfinement confinement;
  if (command.confinement) {
    auto prepared = prepare_confinement(*command.confinement);
    if (!prepared) return std::unexpected(prepared.error());
    confinement = std::move(*prepared);
  }
  auto exec_error = make_pipe();
  if (!exec_error) return std::unexpected(exec_error.error());
  Fd null_fd(::open("/dev/null", O_RDWR | O_CLOEXEC));

  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(std::string(std::strerror(errno)));
  const bool own_session = command.confinement.has_value();
  if (pid == 0) {
    // Only async-signal-safe calls from here on. A confined run leads a session of its own: no
    // controlling terminal to type into or to stop the agent through.
    if (own_session)
      ::setsid();
    else
      ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);
    if (command.low_priority) ::setpriority(PRIO_PROCESS, 0, 19);
    const int in_fd = in ? in->read.fd : null_fd.fd;
    const int out_fd = out ? out->write.fd : null_fd.fd;
    const int err_fd = err ? err->write.fd : null_fd.fd;
    if (::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
      const int e = errno;
      (void)!::write(exec_error->write.fd, &e, sizeof e);
      ::_exit(127);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      const int e = errno;
      (void)!::write(exec_error->write.fd, &e, sizeof e);
      ::_exit(127);
    }
    if (const int e = confinement.apply(); e != 0) {
      (void)!::write(exec_error->write.fd, &e, sizeof e);
      ::_exit(127);
    }
    // Only the three standard streams reach the program: no socket of the agent (a browser
    // opened from the tray would otherwise hold the agent's port after it ends).
    close_on_exec_from(3);
    ::execve(argv[0], argv.data(), envp.data());
    const int e = errno;
    (void)!::write(exec_error->write.fd, &e, sizeof e);
    ::_exit(127);
  }
  // (A session leader already leads its group, and may not be moved into another.)
  if (!own_session) ::setpgid(pid, pid);
  exec_error->write.reset();
  int child_errno = 0;
  ssize_t n;
  do {
    n = ::read(exec_error->read.fd, &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  if (n == sizeof child_errno) {
    ::waitpid(pid, nullptr, 0);
    return std::unexpected(std::string(std::strerror(child_errno)));
  }
  Started started;
  started.pid = pid;
  if (in) started.stdin_write = std::move(in->write);
  if (out) started.stdout_read = std::move(out->read);
  if (err) started.stderr_read = std::move(err->read);
  return started;
}

std::optional<int> exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
}

void kill_group(pid_t pid) {
  ::kill(-pid, SIGKILL);
}

}  // namespace

std::expected<RunResult, std::string> run(const Command& command, const RunOptions& options) {
  // A child that stops reading its input must give this process an error, not SIGPIPE.
  static const bool sigpipe_ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)sigpipe_ignored;
  const ThreadRuns* scope = ThreadRuns::current();
  const bool scoped = options.cancellation == nullptr && options.contain && scope != nullptr;
  Cancellation* cancellation = scoped ? &scope->cancellation() : options.cancellation;
  RunResult result;
  if (cancellation != nullptr && cancellation->cancelled()) {
    result.cancelled = true;
    return result;
  }
  if (scoped) scope->started(command);
  auto started = start(command);
  if (!started) return std::unexpected(started.error());
  const pid_t pid = started->pid;
  RunningTree tree = options.contain ? RunningTree([pid] { kill_group(pid); }) : RunningTree();
  // Set by a kill from another thread; read once that thread can no longer run it.
  std::atomic<bool> killed = false;
  if (cancellation != nullptr && !cancellation->attach([pid, &killed] {
        killed = true;
        kill_group(pid);
      })) {
    killed = true;
    kill_group(pid);
  }
  const auto detach = [&] {
    if (cancellation != nullptr) cancellation->detach();
  };

  std::string_view pending_input =
      command.input ? std::string_view(*command.input) : std::string_view();
  if (started->stdin_write.fd >= 0) {
    ::fcntl(started->stdin_write.fd, F_SETFL, O_NONBLOCK);
    if (pending_input.empty()) started->stdin_write.reset();
  }
  // A pidfd wakes poll() when the child ends; without one, poll in short slices.
  Fd pidfd(static_cast<int>(::syscall(__NR_pidfd_open, pid, 0)));

  const bool has_deadline = options.time_limit.has_value();
  const Clock::time_point deadline =
      has_deadline ? Clock::now() + *options.time_limit : Clock::time_point::max();
  bool exited = false;
  // Once the child has ended, its streams get a little while to reach their end.
  Clock::time_point drain_deadline = Clock::time_point::max();
  char buffer[65536];
  while (true) {
    if (!exited) {
      // Look without reaping: while the child is a zombie its id, and so its group's, cannot be
      // given to another process, so the group kill below cannot hit a stranger.
      siginfo_t info{};
      const int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (r == 0 && info.si_pid == pid) {
        detach();
        if (options.contain) kill_group(pid);
        tree.release();
        int status = 0;
        ::waitpid(pid, &status, 0);
        exited = true;
        result.exit_code = exit_code_of(status);
        drain_deadline = Clock::now() + std::chrono::seconds(2);
      } else if (r < 0 && errno != EINTR) {
        exited = true;
      }
    }
    const bool streams_open = started->stdout_read.fd >= 0 || started->stderr_read.fd >= 0;
    if (exited && (!streams_open || Clock::now() > drain_deadline)) break;

    if (!exited && has_deadline && Clock::now() >= deadline) {
      result.timed_out = true;
      detach();
      if (!options.contain) {
        // Left running: reap it whenever it ends so that it does not linger as a zombie.
        std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
        break;
      }
      kill_group(pid);
      ::kill(pid, SIGKILL);
      tree.release();
      ::waitpid(pid, nullptr, 0);
      exited = true;
      drain_deadline = Clock::now() + std::chrono::seconds(2);
      continue;
    }

    std::vector<pollfd> fds;
    if (started->stdout_read.fd >= 0) fds.push_back({started->stdout_read.fd, POLLIN, 0});
    if (started->stderr_read.fd >= 0) fds.push_back({started->stderr_read.fd, POLLIN, 0});
    if (started->stdin_write.fd >= 0) fds.push_back({started->stdin_write.fd, POLLOUT, 0});
    if (!exited && pidfd.fd >= 0) fds.push_back({pidfd.fd, POLLIN, 0});
    int wait_ms = (pidfd.fd >= 0 || exited) ? 1000 : 10;
    if (!exited && has_deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, wait_ms));
    }
    if (exited) wait_ms = 50;
    const int ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0 && errno != EINTR) break;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == started->stdin_write.fd) {
        const ssize_t n = ::write(p.fd, pending_input.data(), pending_input.size());
        if (n > 0) pending_input.remove_prefix(static_cast<std::size_t>(n));
        if ((n < 0 && errno != EINTR && errno != EAGAIN) || pending_input.empty() ||
            (p.revents & (POLLERR | POLLHUP)))
          started->stdin_write.reset();
      } else if (p.fd == started->stdout_read.fd || p.fd == started->stderr_read.fd) {
        const bool is_out = p.fd == started->stdout_read.fd;
        const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
        if (n > 0) {
          append_tail(is_out ? result.out : result.err, buffer, static_cast<std::size_t>(n),
                      options.output_limit);
          if (options.echo_output) echo(is_out ? STDOUT_FILENO : STDERR_FILENO, buffer, n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          (is_out ? started->stdout_read : started->stderr_read).reset();
        }
      }
    }
  }
  detach();
  result.cancelled = killed;
  if (result.cancelled) result.exit_code.reset();
  trim_tail(result.out, options.output_limit);
  trim_tail(result.err, options.output_limit);
  return result;
}

std::expected<void, std::string> spawn_detached(const Command& command) {
  auto started = start(command);
  if (!started) return std::unexpected(started.error());
  const pid_t pid = started->pid;
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return {};
}

}  // namespace vellora::platform
