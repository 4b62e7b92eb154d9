#pragma once

// Helpers for tests that start the real vellora-agent binary and talk HTTP to it.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/headers.h"
#include "common/json.h"
#include "platform/process.h"

namespace vellora::test {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& path, std::string_view content);
// An executable shell script (POSIX).
void write_script(const fs::path& path, std::string_view body);
// A notify-send that appends "title|body" and a line feed to its own path + ".log" (the two texts
// come after the options and "--").
inline constexpr std::string_view NOTIFY_SEND_LOG =
    "while [ \"$1\" != -- ]; do shift; done\nprintf '%s|%s\\n' \"$2\" \"$3\" >> \"$0.log\"\n";
// A batch file: "@echo off", then the body with its line ends made CRLF (Windows).
void write_batch(const fs::path& path, std::string_view body);

// A fake program in both forms; the one this platform runs is written.
struct FakeProgram {
  std::string sh;   // body of a shell script named `name`
  std::string bat;  // body of a batch file named `name`.bat
};
// Writes the fake into `dir` and returns its path.
fs::path write_fake(const fs::path& dir, const std::string& name, const FakeProgram& program);

// The agent under test.
fs::path agent_binary();
// The same agent built to report version 0.4.16: the release the update tests install.
fs::path next_agent_binary();
// Windows: the test helper program (see test_helper_win.cpp).
fs::path helper_binary();
// The system's program directories, in PATH form.
std::string system_path();
// Joins PATH entries with this platform's separator.
std::string path_list(const std::vector<fs::path>& dirs);
// An identity of the file's data (inode, file index): equal for hard links of one file.
std::uint64_t file_identity(const fs::path& path);
std::string read_text(const fs::path& path);
std::uint16_t free_port();
std::string sha256_of(std::string_view content);

struct HttpResponse {
  unsigned status = 0;
  Headers headers;
  std::string body;
  json::value json() const;
  std::optional<std::string> header(std::string_view name) const;
};

// Console output as tests compare it: CRLF line ends (Windows) become "\n".
std::string console_text(std::string text);

// Sends one request on a fresh connection. `headers` are sent as given: no Host is added.
HttpResponse http_request(std::uint16_t port, const std::string& method, const std::string& target,
                          const Headers& headers, const std::string& body = "");

// A vellora-agent with its own HOME, XDG directories, PATH (a private bin directory first) and
// port.
class Agent {
 public:
  Agent();
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Environment changes made before start(); an empty value in `unset` removes a variable.
  void set_env(const std::string& name, const std::string& value) { env_[name] = value; }
  void unset_env(const std::string& name) { env_.erase(name); }
  // Listens on this port instead of its own free one (set before start()).
  void use_port(std::uint16_t port) {
    port_ = port;
    env_["VELLORA_AGENT_PORT"] = std::to_string(port);
  }
  // A command that runs `program` with the agent's environment.
  platform::Command command(const fs::path& program, const std::vector<std::string>& args) const;

  // Runs this program instead of the agent under test (a copy an update may replace; Linux).
  void use_binary(const fs::path& program) { binary_ = program; }

  // Starts agent mode and waits for its start-up report. False when it exited instead.
  bool start(const std::vector<std::string>& args = {"--no-tray"});
  void stop();
  // Waits for the process to end; its exit status.
  std::optional<int> wait_exit();
  std::string output() const;  // what agent mode printed on standard output
  std::string errors() const;  // and on standard error

  // Runs the binary with the same environment (a command, or anything else) to its end.
  platform::RunResult run(const std::vector<std::string>& args) const;

  HttpResponse get(const std::string& target, Headers headers = {}) const;
  HttpResponse post(const std::string& target, const std::string& body, Headers headers = {}) const;
  // A POST with the bearer token.
  HttpResponse post_auth(const std::string& target, const std::string& body,
                         const std::string& token) const;

  // Pairs through the `code` command and /v1/pair/confirm; the token.
  std::string pair(const std::string& origin = "http://localhost:3000") const;
  // Uploads contents and returns their FileRefs (in order) with the given paths.
  json::array upload(const std::string& token,
                     const std::vector<std::pair<std::string, std::string>>& files) const;

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const fs::path& home() const { return home_; }
  fs::path config_dir() const { return config_ / "vellora-agent"; }
  fs::path cache_dir() const { return cache_ / "vellora-agent"; }
  const fs::path& bin() const { return bin_; }
  const fs::path& root() const { return dir_.path(); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::vector<std::string> environment() const;

  TempDir dir_;
  fs::path home_, config_, cache_, bin_;
  std::uint16_t port_;
  std::map<std::string, std::string> env_;
  fs::path binary_;
  pid_t pid_ = -1;
  void* process_ = nullptr;  // Windows: the process handle
  std::optional<int> exit_status_;
};

// True while the process exists and is not a zombie.
bool process_alive(pid_t pid);
void kill_process(pid_t pid);

// The shared TeX font and format caches, kept between tests so LuaLaTeX builds its cache once.
fs::path shared_texmf_var();

// latexmk with pdfLaTeX as the agent runs it, on `work`/main.tex into `work`/_out, without the
// agent: what the benchmarks compare the agent with.
platform::Command latexmk_alone(const fs::path& work);

// The body of a /v1/compile request that installs no packages.
std::string compile_body(const std::string& project, const std::string& main_file,
                         const json::array& files, const std::string& engine);

// The benchmarks' compile: main.tex of `files` with pdfLaTeX, no packages installed. False, with
// the start of the reply on standard error, when it did not succeed.
bool compile_main_tex(Agent& agent, const std::string& token, const std::string& project,
                      const json::array& files);

}  // namespace vellora::test

namespace vellora::test {

// Sends raw bytes on a fresh connection and returns what arrives until the server closes the
// connection or `wait` passes. `end_sending`: the sending side is closed after the bytes, as a
// client that stopped in the middle of a body.
std::string raw_exchange(std::uint16_t port, const std::string& bytes,
                         std::chrono::milliseconds wait, bool end_sending = false);

}  // namespace vellora::test

namespace vellora::test {

// Sets (or, with none, unsets) a variable of this test process and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace vellora::test
