// The POSIX half of the test harness: shell-script fakes, posix_spawn, /proc.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "harness.h"

#ifndef VELLORA_AGENT_BINARY
#error "VELLORA_AGENT_BINARY must name the agent under test"
#endif

namespace vellora::test {

void write_script(const fs::path& path, std::string_view body) {
  write_file(path, "#!/bin/sh\n" + std::string(body));
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

fs::path write_fake(const fs::path& dir, const std::string& name, const FakeProgram& program) {
  write_script(dir / name, program.sh);
  return dir / name;
}

bool process_alive(pid_t pid) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const auto state = stat.find(") ");
  return state != std::string::npos && stat[state + 2] != 'Z';
}

void kill_process(pid_t pid) {
  ::kill(pid, SIGKILL);
}

std::uint64_t file_identity(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_ino;
}

fs::path agent_binary() {
  return VELLORA_AGENT_BINARY;
}

fs::path helper_binary() {
  return {};
}

std::string system_path() {
  return "/usr/bin:/bin";
}

Agent::Agent()
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
          {"PATH", bin_.string() + ":" + system_path()},
          {"VELLORA_AGENT_PORT", std::to_string(port_)},
          {"TEXMFVAR", shared_texmf_var().string()},
          // Built once by the first agent that needs it, then read by every agent's compiles.
          {"VELLORA_FONT_CACHE",
           (shared_texmf_var().parent_path() / "vellora-test-font-cache").string()},
          {"LANG", "C.UTF-8"},
          // A graphical session, for the fake clipboard and browser programs.
          {"DISPLAY", ":99"},
          // Dumps of preambles run only in the tests about them (which wait for each).
          {"VELLORA_PREAMBLE_CACHE", "off"}};
}

Agent::~Agent() {
  stop();
}

std::vector<std::string> Agent::environment() const {
  std::vector<std::string> env;
  for (const auto& [name, value] : env_) env.push_back(name + "=" + value);
  return env;
}

bool Agent::start(const std::vector<std::string>& args) {
  std::vector<std::string> argv_text{(binary_.empty() ? agent_binary() : binary_).string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto env_text = environment();
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = (dir_.path() / "agent.out").string();
  const std::string err = (dir_.path() / "agent.err").string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;

  // The whole report is written at once, after the socket listens.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find("To pair a browser") != std::string::npos) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exit_status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::optional<int> Agent::wait_exit() {
  if (pid_ > 0) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }
  return exit_status_;
}

void Agent::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

platform::RunResult Agent::run(const std::vector<std::string>& args) const {
  // The child gets exactly this agent's environment: start from an empty one.
  platform::Command command;
  command.program = "/usr/bin/env";
  command.args = {"-i"};
  for (const auto& e : environment()) command.args.push_back(e);
  command.args.push_back((binary_.empty() ? agent_binary() : binary_).string());
  command.args.insert(command.args.end(), args.begin(), args.end());
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(120);
  auto result = platform::run(command, options);
  return result ? *result : platform::RunResult{};
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace vellora::test
