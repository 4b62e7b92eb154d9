// The Windows half of the test harness: batch-file fakes, CreateProcessW with an exact
// environment block, process handles. It runs inside Windows (or wine), so the variables it
// gives the agent reach it unchanged.

#include <windows.h>

#include <atomic>
#include <map>
#include <thread>

#include "harness.h"
#include "platform/command_line_win.h"
#include "platform/env.h"
#include "platform/wide_text.h"

#ifndef VELLORA_AGENT_BINARY
#error "VELLORA_AGENT_BINARY must name the agent under test"
#endif

namespace vellora::test {
namespace {

fs::path module_dir() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return fs::path(buffer).parent_path();
}

std::optional<std::string> current_env(const std::string& name) {
  if (auto value = platform::get_env(name)) return value->text;
  return std::nullopt;
}

HANDLE open_for_child(const fs::path& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the agent binary with exactly `env`, standard output and error into the given files.
HANDLE start_agent(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const fs::path& out,
                   const fs::path& err, DWORD* pid) {
  const fs::path program = agent_binary();
  std::wstring line;
  platform::append_quoted_argument(line, program.native());
  for (const auto& arg : args) {
    line += L' ';
    platform::append_quoted_argument(line, platform::widen(arg));
  }
  std::wstring block;
  for (const auto& [name, value] : env) {
    block += platform::widen(name + "=" + value);
    block += L'\0';
  }
  block += L'\0';
  HANDLE in = open_for_child("NUL", false);
  HANDLE out_handle = open_for_child(out, true);
  HANDLE err_handle = open_for_child(err, true);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out_handle;
  si.hStdError = err_handle;
  PROCESS_INFORMATION pi{};
  const BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(),
                                 nullptr, &si, &pi);
  CloseHandle(in);
  CloseHandle(out_handle);
  CloseHandle(err_handle);
  if (!ok) return nullptr;
  CloseHandle(pi.hThread);
  *pid = pi.dwProcessId;
  return pi.hProcess;
}

std::optional<int> exit_code_of(HANDLE process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return std::nullopt;
  return static_cast<int>(code);
}

}  // namespace

void write_script(const fs::path& path, std::string_view body) {
  write_file(path, "#!/bin/sh\n" + std::string(body));
}

fs::path write_fake(const fs::path& dir, const std::string& name, const FakeProgram& program) {
  const fs::path path = dir / (name + ".bat");
  write_batch(path, program.bat);
  return path;
}

fs::path agent_binary() {
  return (module_dir() / VELLORA_AGENT_BINARY).lexically_normal();
}

fs::path next_agent_binary() {
  return (module_dir() / VELLORA_NEXT_AGENT_BINARY).lexically_normal();
}

fs::path helper_binary() {
  return module_dir() / VELLORA_HELPER_BINARY;
}

std::string system_path() {
  const std::string root = current_env("SystemRoot").value_or("C:\\windows");
  return root + "\\system32;" + root + ";" + root + "\\system32\\WindowsPowerShell\\v1.0";
}

bool process_alive(pid_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

void kill_process(pid_t pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  CloseHandle(process);
}

std::uint64_t file_identity(const fs::path& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return 0;
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

Agent::Agent()
    : home_(dir_.path() / "home"),
      config_(dir_.path() / "config"),
      cache_(dir_.path() / "cache"),
      bin_(dir_.path() / "bin"),
      port_(free_port()) {
  fs::create_directories(home_);
  fs::create_directories(bin_);
  // What every Windows program expects to find, then the agent's own directories.
  for (const char* name :
       {"SystemRoot", "SystemDrive", "windir", "COMSPEC", "PATHEXT", "TEMP", "TMP"})
    if (auto value = current_env(name)) env_[name] = *value;
  const auto text = [](const fs::path& p) { return platform::path_text(p); };
  env_["USERPROFILE"] = text(home_);
  env_["HOME"] = text(home_);
  env_["APPDATA"] = text(config_);
  env_["XDG_CONFIG_HOME"] = text(config_);
  env_["LOCALAPPDATA"] = text(cache_);
  env_["XDG_CACHE_HOME"] = text(cache_);
  env_["PATH"] = text(bin_) + ";" + system_path();
  env_["VELLORA_AGENT_PORT"] = std::to_string(port_);
  // Dumps of preambles run only in the tests about them (which wait for each).
  env_["VELLORA_PREAMBLE_CACHE"] = "off";
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
  DWORD pid = 0;
  process_ = start_agent(args, env_, dir_.path() / "agent.out", dir_.path() / "agent.err", &pid);
  if (process_ == nullptr) return false;
  pid_ = static_cast<pid_t>(pid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find("To pair a browser") != std::string::npos) return true;
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
      wait_exit();
      return false;
    }
  }
  return false;
}

std::optional<int> Agent::wait_exit() {
  if (process_ != nullptr) {
    WaitForSingleObject(process_, INFINITE);
    exit_status_ = exit_code_of(process_);
    CloseHandle(process_);
    process_ = nullptr;
    pid_ = -1;
  }
  return exit_status_;
}

void Agent::stop() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
  CloseHandle(process_);
  process_ = nullptr;
  pid_ = -1;
}

platform::RunResult Agent::run(const std::vector<std::string>& args) const {
  static std::atomic<int> counter{0};
  const std::string name = "run-" + std::to_string(counter++);
  const fs::path out = dir_.path() / (name + ".out");
  const fs::path err = dir_.path() / (name + ".err");
  DWORD pid = 0;
  HANDLE process = start_agent(args, env_, out, err, &pid);
  platform::RunResult result;
  if (process == nullptr) return result;
  if (WaitForSingleObject(process, 120'000) == WAIT_TIMEOUT) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    result.timed_out = true;
  } else {
    result.exit_code = exit_code_of(process);
  }
  CloseHandle(process);
  result.out = console_text(read_text(out));
  result.err = console_text(read_text(err));
  return result;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  old_ = current_env(name_);
  const std::wstring wide_name = platform::widen(name_);
  SetEnvironmentVariableW(wide_name.c_str(), value ? platform::widen(*value).c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() {
  const std::wstring wide_name = platform::widen(name_);
  SetEnvironmentVariableW(wide_name.c_str(), old_ ? platform::widen(*old_).c_str() : nullptr);
}

}  // namespace vellora::test
