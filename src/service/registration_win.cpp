#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "platform/wide_text.h"
#include "service/binary.h"
#include "service/registration.h"
#include "service/windows_programs.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// Runs a program of the system folder; none when it could not start or failed.
std::optional<std::string> run_system_program(const char* program, std::vector<std::string> args) {
  platform::Command command;
  command.program = platform::system_program(program);
  command.args = std::move(args);
  command.capture_output = true;
  command.no_window = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(30);
  const auto result = platform::run(command, options);
  if (!result || !result->success()) return std::nullopt;
  return result->out;
}

}  // namespace

fs::path installed_exe_path(const fs::path& home) {
  return home / "AppData/Local/Programs/vellora-agent/vellora-agent.exe";
}

bool service_installed(const fs::path&) {
  return run_system_program("reg", reg_query_args()).has_value();
}

std::string service_status_text(const fs::path& home, const fs::path& program) {
  if (!service_installed(home)) return "not installed (vellora-agent install)";
  return "installed (" + platform::path_text(program) + ")";
}

std::expected<void, std::string> register_service(const fs::path& home) {
  const std::string installed = platform::path_text(installed_exe_path(home));
  const auto failed = [] {
    return std::unexpected(
        std::string("could not register automatic startup (the user's Run key)"));
  };
  if (!run_system_program("reg", reg_add_args(installed))) return failed();
  // Read back: only a value that holds our command means the agent starts at log-on.
  const auto written = run_system_program("reg", reg_query_args());
  if (!written || !run_value_listed(*written, installed)) return failed();
  return {};
}

std::expected<void, std::string> register_packaged_service(const fs::path&) {
  return std::unexpected(std::string("no system package installs the agent on Windows"));
}

void unregister_packaged_service(const fs::path&) {}

void unregister_service(const fs::path&) {
  (void)run_system_program("reg", reg_delete_args());
}

void stop_other_agents() {
  // By the process list itself rather than taskkill, whose filters not every system has (wine's
  // lacks /FI): each agent image of this session but this process, ended and waited for.
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  const DWORD own = GetCurrentProcessId();
  std::vector<HANDLE> ending;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == own) continue;
    const std::wstring image = entry.szExeFile;
    const bool agent = std::any_of(
        std::begin(WINDOWS_IMAGE_NAMES), std::end(WINDOWS_IMAGE_NAMES), [&](std::string_view name) {
          const std::wstring wide = platform::widen(name);
          return CompareStringOrdinal(image.c_str(), -1, wide.c_str(), -1, TRUE) == CSTR_EQUAL;
        });
    if (!agent) continue;
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;  // another user's
    if (TerminateProcess(process, 1)) {
      ending.push_back(process);
    } else {
      CloseHandle(process);
    }
  }
  CloseHandle(snapshot);
  // Their port is free once they are gone.
  for (const HANDLE process : ending) {
    WaitForSingleObject(process, 10'000);
    CloseHandle(process);
  }
}

std::expected<void, std::string> restart_service(const fs::path& home) {
  stop_other_agents();
  return start_background(installed_exe_path(home));
}

std::expected<void, std::string> hand_over_restart(const fs::path& home) {
  // The installed copy's own "install" stops this agent, starts itself and verifies.
  const auto started = platform::start_in_background(installed_exe_path(home), {"install"});
  if (!started) return std::unexpected("could not start the agent: " + started.error());
  return {};
}

std::string background_run_hint() {
  return "run `vellora-agent.exe background` in a terminal to see the error";
}

}  // namespace vellora
