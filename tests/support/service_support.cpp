#include "service_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "service/probe.h"
#include "service/registration.h"

#ifndef VELLORA_NEXT_AGENT_BINARY
#error "VELLORA_NEXT_AGENT_BINARY must name the agent built with the next version"
#endif

extern char** environ;

namespace vellora::test {

fs::path next_agent_binary() {
  return VELLORA_NEXT_AGENT_BINARY;
}

LocalSite::LocalSite() : port_(free_port()) {
  fs::create_directories(dir_.path() / "www");
  std::vector<std::string> text{
      "/usr/bin/env",        "python3", "-u",        "-m",          "http.server",
      std::to_string(port_), "--bind",  "127.0.0.1", "--directory", (dir_.path() / "www").string()};
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string log = (dir_.path() / "requests.log").string();
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  // Ready once it accepts connections.
  for (int i = 0; i < 500; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    if (up) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

LocalSite::~LocalSite() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void LocalSite::put(const std::string& path, std::string_view content) {
  write_file(dir_.path() / "www" / path, content);
}

std::string LocalSite::requests() const {
  return read_text(dir_.path() / "requests.log");
}

void LocalSite::publish(const std::string& version, const std::string& asset_bytes,
                        std::optional<std::string> digest) {
  put("static/agent/vellora-agent-linux-x86_64", asset_bytes);
  put("static/agent/version.json", R"({"version": ")" + version + R"(", "sha256_linux": ")" +
                                       digest.value_or(sha256_of(asset_bytes)) +
                                       R"(", "notes": "ignored"})");
}

UserMachine::UserMachine()
    : home_(dir_.path() / "home"),
      config_(dir_.path() / "config"),
      cache_(dir_.path() / "cache"),
      bin_(dir_.path() / "bin"),
      port_(free_port()) {
  fs::create_directories(home_);
  fs::create_directories(bin_);
  env_ = {{"HOME", home_.string()},
          {"XDG_CONFIG_HOME", config_.string()},
          {"XDG_CACHE_HOME", cache_.string()},
          {"PATH", bin_.string() + ":/usr/bin:/bin"},
          {"VELLORA_AGENT_PORT", std::to_string(port_)},
          {"VELLORA_UPDATE_FIRST_SECS", "3600"},
          {"LANG", "C.UTF-8"}};
}

UserMachine::~UserMachine() {
  stop_agents();
}

void UserMachine::stop_agents() const {
  ScopedEnv home("HOME", home_.string());
  stop_other_agents();
}

platform::RunResult UserMachine::run(const fs::path& program, const std::vector<std::string>& args,
                                     std::chrono::seconds limit) const {
  platform::Command command;
  command.program = "/usr/bin/env";
  command.args = {"-i"};
  for (const auto& [name, value] : env_) command.args.push_back(name + "=" + value);
  command.args.push_back(program.string());
  command.args.insert(command.args.end(), args.begin(), args.end());
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = limit;
  // Agents started in the background leave the group on their own (a session of their own).
  auto result = platform::run(command, options);
  return result ? *result : platform::RunResult{};
}

fs::path UserMachine::copy_agent(const fs::path& to, bool next_release) const {
  fs::create_directories(to.parent_path());
  fs::copy_file(next_release ? next_agent_binary() : agent_binary(), to,
                fs::copy_options::overwrite_existing);
  return to;
}

void UserMachine::fake_systemd(const fs::path& program) {
  const fs::path unit_program = program.empty() ? installed() : program;
  const fs::path state = dir_.path() / "systemd";
  fs::create_directories(state);
  const std::string s = state.string();
  // A user manager in miniature: it keeps "enabled" as a file and runs the unit's agent itself,
  // in a session of its own, as `systemctl --user restart` would.
  write_script(
      bin_ / "fake-systemctl",
      "echo \"$*\" >> '" + s +
          "/systemctl.log'\n"
          "[ \"$1\" = --user ] || exit 2\n"
          "stop() {\n"
          "  [ -f '" +
          s +
          "/pid' ] || return 0\n"
          "  pid=$(cat '" +
          s + "/pid'); rm -f '" + s +
          "/pid'\n"
          // Like the real manager: the next start waits until the old process is gone.
          "  kill $pid 2>/dev/null && while kill -0 $pid 2>/dev/null; do sleep 0.02; done\n"
          "}\n"
          "case \"$2\" in\n"
          "  daemon-reload) exit 0 ;;\n"
          "  enable) touch '" +
          s +
          "/enabled' ;;\n"
          "  is-enabled) [ -f '" +
          s +
          "/enabled' ] ;;\n"
          "  restart) stop; setsid sh -c 'echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; exec \"$2\" "
          "background' sh '" +
          s + "/pid' '" + unit_program.string() + "' >> '" + s +
          "/agent.log' 2>&1 < /dev/null &\n"
          // Out of this process group before the caller's process layer ends it.
          "    while [ ! -f '" +
          s +
          "/pid' ]; do sleep 0.02; done ;;\n"
          "  disable) rm -f '" +
          s +
          "/enabled'; stop ;;\n"
          "  *) exit 1 ;;\n"
          "esac\n");
  set_env("VELLORA_SYSTEMCTL", (bin_ / "fake-systemctl").string());
}

std::string UserMachine::systemctl_log() const {
  return read_text(dir_.path() / "systemd/systemctl.log");
}

std::optional<std::string> wait_for_version(std::uint16_t port, const std::string& version,
                                            std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::optional<std::string> answered;
  while (std::chrono::steady_clock::now() < deadline) {
    answered = query_running_agent(port);
    if (answered == version) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return answered;
}

LoopbackServer::LoopbackServer(std::function<Answer(std::string_view)> answer)
    : answer_(std::move(answer)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener_, 16);
  socklen_t size = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(client, buffer, sizeof buffer);
      const Answer answer =
          answer_(std::string_view(buffer, n > 0 ? static_cast<std::size_t>(n) : 0));
      (void)!::write(client, answer.bytes.data(), answer.bytes.size());
      if (answer.stall)
        stalled_.push_back(client);
      else
        ::close(client);
    }
  });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  thread_.join();
  for (const int client : stalled_) ::close(client);
  ::close(listener_);
}

}  // namespace vellora::test
