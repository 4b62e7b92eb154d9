// Windows only: installing the agent as a user would, from a Downloads folder, with wine's own
// reg.exe holding the Run key. These tests share the user's Run key and stop agents by image name,
// so they run alone (RUN_SERIAL, tests/CMakeLists.txt).

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <thread>

#include "harness.h"
#include "platform/env.h"
#include "platform/program.h"
#include "service/windows_programs.h"

namespace vellora::test {
namespace {

// Ends every process started from `exe` (the installed agent the test left running).
void kill_processes_of(const fs::path& exe) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t name[32768];
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, name, &size) &&
        CompareStringOrdinal(name, static_cast<int>(size), exe.c_str(), -1, TRUE) == CSTR_EQUAL)
      TerminateProcess(process, 1);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

std::string run_value() {
  platform::Command query;
  query.program = platform::system_program("reg");
  query.args = reg_query_args();
  query.capture_output = true;
  const auto result = platform::run(query);
  return result && result->success() ? result->out : std::string();
}

class ServiceWindows : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::Command remove;
    remove.program = platform::system_program("reg");
    remove.args = reg_delete_args();
    (void)platform::run(remove);
    kill_processes_of(installed());
  }
  fs::path installed() const {
    return user_.home() / "AppData/Local/Programs/vellora-agent/vellora-agent.exe";
  }
  platform::RunResult run(const fs::path& program, const std::vector<std::string>& args,
                          const fs::path& cwd = {}) const {
    auto command = user_.command(program, args);
    command.cwd = cwd;
    platform::RunOptions options;
    options.time_limit = std::chrono::seconds(120);
    const auto result = platform::run(command, options);
    if (!result) return {};
    auto copy = *result;
    copy.out = console_text(copy.out);
    copy.err = console_text(copy.err);
    return copy;
  }
  Agent user_;  // only its environment: HOME, APPDATA, PATH, port
};

// A Downloads folder (the agent's own folder) and the working directory holding programs named
// like the system's: none of them runs, and the Run key really holds the agent.
TEST_F(ServiceWindows, PlantedSystemProgramsNeverRun) {
  const fs::path downloads = user_.root() / "Downloads";
  const fs::path cwd = user_.root() / "work";
  fs::create_directories(downloads);
  fs::create_directories(cwd);
  fs::copy_file(agent_binary(), downloads / "vellora-agent.exe");
  for (const char* name : {"reg.exe", "taskkill.exe", "powershell.exe", "cmd.exe"}) {
    fs::copy_file(helper_binary(), downloads / name);
    fs::copy_file(helper_binary(), cwd / name);
  }
  const auto result = run(downloads / "vellora-agent.exe", {"install"}, cwd);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("Service installed and started."), std::string::npos) << result.out;
  EXPECT_FALSE(fs::exists(downloads / "planted.log")) << read_text(downloads / "planted.log");
  EXPECT_FALSE(fs::exists(cwd / "planted.log")) << read_text(cwd / "planted.log");
  EXPECT_TRUE(run_value_listed(run_value(), platform::path_text(installed()))) << run_value();
}

// Run from the installed copy, uninstall used to leave that copy behind: Windows cannot delete a
// running program's file. A helper removes it, and the emptied folder, once the command has ended.
TEST_F(ServiceWindows, UninstallFromTheInstalledCopyLeavesNothing) {
  const fs::path downloads = user_.root() / "Downloads";
  fs::create_directories(downloads);
  fs::copy_file(agent_binary(), downloads / "vellora-agent.exe");
  auto result = run(downloads / "vellora-agent.exe", {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  kill_processes_of(installed());  // wine's taskkill cannot filter by process id

  result = run(installed(), {"uninstall"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(result.out.starts_with("Service removed.\n")) << result.out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (fs::exists(installed()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(installed())) << result.out;
  EXPECT_FALSE(fs::exists(installed().parent_path()));
  EXPECT_EQ(run_value(), "");
}

}  // namespace
}  // namespace vellora::test
