#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/file.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "service/binary.h"
#include "service/registration.h"
#include "service/unit_files.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr const char* UNIT_NAME = "vellora-agent.service";

fs::path user_config_home(const fs::path& home) {
  if (const auto xdg = platform::get_env_path("XDG_CONFIG_HOME"); xdg && xdg->is_absolute())
    return *xdg;
  return home / ".config";
}

fs::path unit_path(const fs::path& home) {
  return user_config_home(home) / "systemd/user" / UNIT_NAME;
}

fs::path autostart_path(const fs::path& home) {
  return user_config_home(home) / "autostart/vellora-agent.desktop";
}

fs::path command_link(const fs::path& home) {
  return home / ".local/bin/vellora-agent";
}

std::string systemctl_program() {
  const auto value = platform::get_env("VELLORA_SYSTEMCTL");
  return value && !value->text.empty() ? value->text : "systemctl";
}

// `systemctl --user ...`; false when it cannot run, fails, or hangs past its limit.
bool systemctl(std::vector<std::string> args) {
  platform::Command command;
  command.program = systemctl_program();
  command.args = {"--user"};
  command.args.insert(command.args.end(), args.begin(), args.end());
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(30);
  const auto result = platform::run(command, options);
  return result && result->success();
}

bool unit_enabled() {
  return systemctl({"is-enabled", UNIT_NAME});
}

// ~/.local/bin/vellora-agent points at the installed executable, so the command works from a
// terminal. Anything there that is not a link is the user's and stays.
void link_command(const fs::path& home) {
  const fs::path link = command_link(home);
  std::error_code ec;
  const auto status = fs::symlink_status(link, ec);
  if (fs::exists(status) && !fs::is_symlink(status)) return;
  fs::create_directories(link.parent_path(), ec);
  fs::remove(link, ec);
  fs::create_symlink(installed_exe_path(home), link, ec);
}

void unlink_command(const fs::path& home) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(command_link(home), ec)))
    fs::remove(command_link(home), ec);
}

bool read_proc_file(const std::string& path, std::string& out) {
  const auto text = read_file(path);
  if (!text) return false;
  out = *text;
  return true;
}

// The real user id in /proc/<pid>/status.
std::optional<uid_t> process_uid(const std::string& dir) {
  std::string status;
  if (!read_proc_file(dir + "/status", status)) return std::nullopt;
  const auto at = status.find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  return static_cast<uid_t>(std::strtoul(status.c_str() + at + 5, nullptr, 10));
}

std::optional<std::string> process_home(const std::string& dir) {
  std::string environ_text;
  if (!read_proc_file(dir + "/environ", environ_text)) return std::nullopt;
  std::size_t start = 0;
  while (start < environ_text.size()) {
    std::size_t end = environ_text.find('\0', start);
    if (end == std::string::npos) end = environ_text.size();
    const std::string_view entry(environ_text.data() + start, end - start);
    if (entry.starts_with("HOME=")) return std::string(entry.substr(5));
    start = end + 1;
  }
  return std::nullopt;
}

struct PidFd {
  int fd = -1;
  explicit PidFd(int f) : fd(f) {}
  PidFd(PidFd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  ~PidFd() {
    if (fd >= 0) ::close(fd);
  }
  bool signal(int sig) const { return ::syscall(__NR_pidfd_send_signal, fd, sig, nullptr, 0) == 0; }
  bool ended() const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
};

// The agents this installation owns: same user, same home directory, an executable named like an
// agent (also once an update moved it aside to ".old" or ".prev").
std::vector<PidFd> find_other_agents() {
  const uid_t uid = ::getuid();
  const pid_t self = ::getpid();
  const char* home_env = std::getenv("HOME");
  const std::optional<std::string> home = home_env ? std::optional(home_env) : std::nullopt;
  std::vector<PidFd> found;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
    if (pid == self) continue;
    // Held from here on, the identifier cannot pass to another process unnoticed.
    PidFd pidfd(static_cast<int>(::syscall(__NR_pidfd_open, pid, 0)));
    if (pidfd.fd < 0) continue;
    const std::string dir = "/proc/" + name;
    if (process_uid(dir) != uid) continue;
    std::error_code link_ec;
    std::string exe = fs::read_symlink(dir + "/exe", link_ec).filename().native();
    if (link_ec) continue;
    if (exe.ends_with(" (deleted)")) exe.resize(exe.size() - 10);
    bool agent = false;
    for (const char* base : {"vellora-agent", "vellora-agent-linux-x86_64"})
      for (const char* suffix : {"", ".old", ".prev"})
        agent = agent || exe == std::string(base) + suffix;
    if (!agent || process_home(dir) != home) continue;
    // Still the process whose files were read?
    if (!pidfd.signal(0)) continue;
    found.push_back(std::move(pidfd));
  }
  return found;
}

}  // namespace

fs::path installed_exe_path(const fs::path& home) {
  return home / ".local/lib/vellora-agent/vellora-agent";
}

bool service_installed(const fs::path& home) {
  std::error_code ec;
  return unit_enabled() || fs::exists(autostart_path(home), ec);
}

std::string service_status_text(const fs::path& home, const fs::path& program) {
  const std::string installed = program.native();
  if (unit_enabled()) return "installed (" + installed + ", systemd user unit " + UNIT_NAME + ")";
  std::error_code ec;
  if (fs::exists(autostart_path(home), ec))
    return "installed (" + installed + ", autostart entry " + autostart_path(home).native() + ")";
  return "not installed (vellora-agent install)";
}

std::expected<void, std::string> register_service(const fs::path& home) {
  link_command(home);
  const fs::path installed = installed_exe_path(home);
  const fs::path unit = unit_path(home);
  std::error_code ec;
  if (write_atomic(unit, systemd_unit_text(installed)) && systemctl({"daemon-reload"}) &&
      systemctl({"enable", UNIT_NAME})) {
    fs::remove(autostart_path(home), ec);
    return {};
  }
  // No user manager answers: the desktop session starts the agent instead.
  fs::remove(unit, ec);
  const auto written = write_atomic(autostart_path(home), autostart_entry_text(installed));
  if (!written)
    return std::unexpected("could not register automatic startup (" + written.error() + ")");
  return {};
}

void unregister_service(const fs::path& home) {
  std::error_code ec;
  if (fs::exists(unit_path(home), ec)) {
    (void)systemctl({"disable", "--now", UNIT_NAME});
    fs::remove(unit_path(home), ec);
    (void)systemctl({"daemon-reload"});
  }
  fs::remove(autostart_path(home), ec);
  unlink_command(home);
}

std::expected<void, std::string> register_packaged_service(const fs::path& home) {
  std::error_code ec;
  // The unit or entry of an earlier installation of a copy would shadow the package's unit.
  if (fs::exists(unit_path(home), ec)) {
    (void)systemctl({"disable", UNIT_NAME});
    fs::remove(unit_path(home), ec);
  }
  fs::remove(autostart_path(home), ec);
  if (systemctl({"daemon-reload"}) && systemctl({"enable", UNIT_NAME})) return {};
  return std::unexpected("could not enable the package's user unit (" + systemctl_program() +
                         " --user enable " + UNIT_NAME + " failed)");
}

void unregister_packaged_service(const fs::path&) {
  (void)systemctl({"disable", "--now", UNIT_NAME});
}

void stop_other_agents() {
  std::vector<PidFd> agents = find_other_agents();
  for (const PidFd& agent : agents) agent.signal(SIGTERM);
  if (agents.empty()) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (const PidFd& agent : agents)
    if (!agent.ended()) agent.signal(SIGKILL);
  // The port is free only once they are gone.
  for (const PidFd& agent : agents) {
    pollfd p{agent.fd, POLLIN, 0};
    ::poll(&p, 1, 2000);
  }
}

std::expected<void, std::string> restart_service(const fs::path& home) {
  stop_other_agents();
  if (unit_enabled()) {
    if (!systemctl({"restart", UNIT_NAME}))
      return std::unexpected("could not restart the service (" + systemctl_program() +
                             " --user restart " + UNIT_NAME + " failed)");
    return {};
  }
  return start_background(installed_exe_path(home));
}

std::expected<void, std::string> hand_over_restart(const fs::path& home) {
  // The user manager ends this agent (its main process) and starts the new one.
  if (unit_enabled()) return restart_service(home);
  // The installed copy's own "install" stops this agent, starts itself and verifies.
  const auto started = platform::start_in_background(installed_exe_path(home), {"install"});
  if (!started) return std::unexpected("could not start the agent: " + started.error());
  return {};
}

std::string background_run_hint() {
  return "run `vellora-agent background` in a terminal to see the error";
}

}  // namespace vellora
