#pragma once

// Helpers for the installation and update tests: a local web site, a user's environment in which
// copies of the agent are installed and run, and a fake service manager.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/process.h"

namespace vellora::test {

// python3's http.server on 127.0.0.1 serving a fresh directory; requests are logged.
class LocalSite {
 public:
  LocalSite();
  ~LocalSite();
  LocalSite(const LocalSite&) = delete;
  LocalSite& operator=(const LocalSite&) = delete;

  void put(const std::string& path, std::string_view content);
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The request lines seen so far.
  std::string requests() const;
  // Publishes a release: the manifest and the asset for this platform.
  void publish(const std::string& version, const std::string& asset_bytes,
               std::optional<std::string> digest = std::nullopt);

 private:
  TempDir dir_;
  std::uint16_t port_;
  pid_t pid_ = -1;
};

// One user's machine: HOME, XDG directories, a private bin directory first on PATH, the agent's
// port, and copies of agent binaries. Every agent left running with this HOME is stopped at the
// end.
class UserMachine {
 public:
  UserMachine();
  ~UserMachine();
  UserMachine(const UserMachine&) = delete;
  UserMachine& operator=(const UserMachine&) = delete;

  void set_env(const std::string& name, const std::string& value) { env_[name] = value; }
  void unset_env(const std::string& name) { env_.erase(name); }

  // Runs a program with exactly this environment, standard input from `input` (none: empty and
  // not a terminal).
  platform::RunResult run(const fs::path& program, const std::vector<std::string>& args,
                          std::chrono::seconds limit = std::chrono::seconds(120)) const;

  // A copy of the agent under test (or of the "next release") at the given path.
  fs::path copy_agent(const fs::path& to, bool next_release = false) const;

  // Installs a fake systemctl that records its arguments (one call a line in systemctl.log) and
  // starts and stops the installed agent itself; VELLORA_SYSTEMCTL names it.
  // It runs `program` (default: the installed copy) for the unit.
  void fake_systemd(const fs::path& program = {});
  std::string systemctl_log() const;

  fs::path installed() const { return home_ / ".local/lib/vellora-agent/vellora-agent"; }
  std::uint16_t port() const { return port_; }
  const fs::path& home() const { return home_; }
  const fs::path& root() const { return dir_.path(); }
  fs::path config_dir() const { return config_ / "vellora-agent"; }
  fs::path xdg_config() const { return config_; }
  fs::path cache_dir() const { return cache_ / "vellora-agent"; }
  const fs::path& bin() const { return bin_; }

  // Stops every agent running with this HOME.
  void stop_agents() const;

 private:
  TempDir dir_;
  fs::path home_, config_, cache_, bin_;
  std::uint16_t port_;
  std::map<std::string, std::string> env_;
};

// The version answering on the port within the time, as the status probe reads it.
std::optional<std::string> wait_for_version(std::uint16_t port, const std::string& version,
                                            std::chrono::seconds limit);

// A server on a free loopback port. Each connection's first read of its request goes to `answer`,
// which says what to write back and whether to then leave the connection open without sending
// more (a stalled download) rather than close it.
class LoopbackServer {
 public:
  struct Answer {
    std::string bytes;
    bool stall = false;
  };
  explicit LoopbackServer(std::function<Answer(std::string_view request)> answer);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  std::uint16_t port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  std::function<Answer(std::string_view)> answer_;
  std::uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::vector<int> stalled_;
  std::thread thread_;
};

// Answers every connection with fixed bytes and closes it.
class FixedReplyServer : public LoopbackServer {
 public:
  explicit FixedReplyServer(std::string reply)
      : LoopbackServer([reply = std::move(reply)](std::string_view) { return Answer{reply}; }) {}
};

fs::path agent_binary();
fs::path next_agent_binary();

}  // namespace vellora::test
