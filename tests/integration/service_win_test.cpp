// Windows only: installing the agent as a user would, from a Downloads folder, with wine's own
// reg.exe holding the Run key. These tests share the user's Run key and stop agents by image name,
// so they run alone (RUN_SERIAL, tests/CMakeLists.txt).

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "harness.h"
#include "notification_area_win.h"
#include "platform/env.h"
#include "platform/program.h"
#include "service/probe.h"
#include "service/windows_programs.h"
#include "tray/run_tray.h"

namespace vellora::test {
namespace {

// The processes started from `exe`.
std::vector<DWORD> processes_of(const fs::path& exe) {
  // The system names images with backslashes alone.
  const std::wstring wanted = fs::path(exe).make_preferred().native();
  std::vector<DWORD> found;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t name[32768];
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, name, &size) &&
        CompareStringOrdinal(name, static_cast<int>(size), wanted.c_str(), -1, TRUE) == CSTR_EQUAL)
      found.push_back(entry.th32ProcessID);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

// Ends every process started from `exe` (the installed agent the test left running).
void kill_processes_of(const fs::path& exe) {
  for (const DWORD pid : processes_of(exe)) kill_process(static_cast<pid_t>(pid));
}

// The version answering on the port once it is `wanted`, or the last one seen at the limit.
std::optional<std::string> wait_for_version(std::uint16_t port, const std::string& wanted,
                                            std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto seen = query_running_agent(port);
  while (seen != wanted && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    seen = query_running_agent(port);
  }
  return seen;
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
    // As from a user's terminal: what the command starts in the background (the service's agent,
    // the helper that removes an uninstalled program) outlives it, rather than ending with the
    // job object that holds a contained run.
    options.contain = false;
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

// Updates from a local site through a stand-in curl.exe, without the service: the copy that runs
// is replaced.
class UpdateWindows : public ServiceWindows {
 protected:
  void SetUp() override {
    fs::create_directories(site_ / "static/agent");
    fs::copy_file(helper_binary(), user_.bin() / "curl.exe");
    user_.set_env("FAKE_SITE", platform::path_text(site_));
    user_.set_env("VELLORA_SITE", "http://127.0.0.1:9");
    fs::create_directories(app_.parent_path());
    fs::copy_file(agent_binary(), app_);
    const std::string next = read_text(next_agent_binary());
    write_file(site_ / "static/agent/vellora-agent-windows-x86_64.exe", next);
    write_file(site_ / "static/agent/version.json",
               R"({"version":"0.4.16","sha256_windows":")" + sha256_of(next) + R"("})");
  }
  fs::path prev() const { return fs::path(app_).replace_extension("prev"); }
  // Publishes a release of these bytes as the given version.
  void publish(const std::string& version, const std::string& bytes) {
    write_file(site_ / "static/agent/vellora-agent-windows-x86_64.exe", bytes);
    write_file(
        site_ / "static/agent/version.json",
        R"({"version":")" + version + R"(","sha256_windows":")" + sha256_of(bytes) + R"("})");
  }
  // Installs the service from a Downloads folder, as a user would; the agent it started.
  DWORD install_from_downloads() {
    const fs::path downloads = user_.root() / "Downloads";
    fs::create_directories(downloads);
    fs::copy_file(agent_binary(), downloads / "vellora-agent.exe");
    const auto result = run(downloads / "vellora-agent.exe", {"install"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    const auto running = processes_of(installed());
    EXPECT_EQ(running.size(), 1u);
    return running.size() == 1 ? running[0] : 0;
  }
  // Waits until the config folder's "failed-update" names a version; its text.
  // 0.4.16 answers from one new process of the installed program, and prev holds 0.4.15.
  void expect_the_new_version_running(DWORD first) {
    EXPECT_EQ(wait_for_version(user_.port(), "0.4.16", std::chrono::seconds(180)), "0.4.16");
    EXPECT_TRUE(read_text(installed()) == next_);
    EXPECT_TRUE(read_text(fs::path(installed()).replace_extension("prev")) == current_);
    const auto running = processes_of(installed());
    ASSERT_EQ(running.size(), 1u);
    EXPECT_NE(running[0], first);
  }

  std::string wait_for_failed_update() const {
    const auto failed = user_.config_dir() / "failed-update";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (read_text(failed).empty() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return read_text(failed);
  }
  // A release that answers --version as 0.4.16 but never serves (see test_helper_win.cpp).
  const std::string broken_ = read_text(helper_binary());
  const fs::path site_ = user_.root() / "site";
  const fs::path app_ = user_.root() / "app/vellora-agent.exe";
  const std::string current_ = read_text(agent_binary());
  const std::string next_ = read_text(next_agent_binary());
};

// A leftover "new" of a failed update and an older "prev" used to stay: every later update failed
// with "File exists", and "prev" kept the oldest version, which rollback then installed.
TEST_F(UpdateWindows, LeftoversAreReplacedAndPrevHoldsTheVersionReplaced) {
  write_file(fs::path(app_).replace_extension("new"), "left by a failed update");
  write_file(prev(), "a version saved long ago");
  auto result = run(app_, {"update", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("Updated to 0.4.16 at "), std::string::npos) << result.out;
  EXPECT_EQ(read_text(app_), next_);
  EXPECT_EQ(read_text(prev()), current_);
  EXPECT_FALSE(fs::exists(fs::path(app_).replace_extension("new")));

  result = run(app_, {"rollback"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_text(app_), current_);
}

// Held open by another program (a virus scanner), the program cannot be moved aside: the update
// says so, changes nothing and leaves nothing that blocks the next one.
TEST_F(UpdateWindows, HeldProgramIsReportedAndTheNextUpdateWorks) {
  {
    std::ifstream held(app_, std::ios::binary);
    const auto result = run(app_, {"update", "--yes"});
    EXPECT_EQ(result.exit_code, 1) << result.out;
    EXPECT_NE(result.err.find("the program is in use; close it and try again"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Input/output error"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("%1"), std::string::npos) << result.err;
    EXPECT_EQ(read_text(app_), current_);
    EXPECT_FALSE(fs::exists(fs::path(app_).replace_extension("new")));
  }
  const auto result = run(app_, {"update", "--yes"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_text(app_), next_);
}

// With the service installed, the tray's "Update the agent" used to end with no agent at all: the
// update child held the port, so the new agent could not bind. The agent that answers at the end
// is the new version, started from the installed program as the service's restart starts it.
class TrayUpdateWindows : public UpdateWindows {
 protected:
  void SetUp() override {
    UpdateWindows::SetUp();
    ASSERT_TRUE(area_.ready());
    // Only the click asks; a slow machine still sees the restarted agent in time.
    user_.set_env("VELLORA_UPDATE_FIRST_SECS", "100000");
    user_.set_env("VELLORA_VERIFY_SECS", "60");
  }
  // Installs the service from a Downloads folder and clicks "Check for updates", then "Update the
  // agent" in the tray of the agent it started.
  void install_and_update_from_the_tray() {
    first_ = install_from_downloads();
    ASSERT_NE(first_, 0u);
    const HWND tray = area_.wait_for_icon(first_, std::chrono::seconds(60));
    ASSERT_NE(tray, nullptr);
    click_tray_item(tray, CHECK_ITEM);
    ASSERT_TRUE(area_.wait_for_tooltip(tray, "Update available: 0.4.16", std::chrono::seconds(60)));
    click_tray_item(tray, UPDATE_ITEM);
  }
  NotificationArea area_;
  DWORD first_ = 0;
};

TEST_F(TrayUpdateWindows, EndsWithTheNewVersionRunningFromTheInstalledProgram) {
  ASSERT_NO_FATAL_FAILURE(install_and_update_from_the_tray());
  expect_the_new_version_running(first_);
}

// A release that answers --version but never serves: the previous program is put back and runs.
TEST_F(TrayUpdateWindows, AReleaseThatDoesNotStartIsReplacedByThePreviousProgram) {
  publish("0.4.16", broken_);
  user_.set_env("VELLORA_VERIFY_SECS", "10");
  ASSERT_NO_FATAL_FAILURE(install_and_update_from_the_tray());
  EXPECT_EQ(wait_for_failed_update(), "0.4.16");
  EXPECT_EQ(wait_for_version(user_.port(), "0.4.15", std::chrono::seconds(60)), "0.4.15");
  EXPECT_TRUE(read_text(installed()) == current_);
  EXPECT_EQ(processes_of(installed()).size(), 1u);
}

// Under the automatic policy the running agent installs the new release itself; the saved previous
// program, started to finish the update, restarts the service with the new version.
class CheckerWindows : public UpdateWindows {
 protected:
  void SetUp() override {
    UpdateWindows::SetUp();
    publish("0.4.15", current_);  // nothing newer while the service is installed
    ASSERT_EQ(run(app_, {"auto-update", "on"}).exit_code, 0);
    user_.set_env("VELLORA_UPDATE_FIRST_SECS", "1");
    user_.set_env("VELLORA_UPDATE_INTERVAL_SECS", "1");
    user_.set_env("VELLORA_VERIFY_SECS", "30");
    first_ = install_from_downloads();
    ASSERT_NE(first_, 0u);
  }
  DWORD first_ = 0;
};

TEST_F(CheckerWindows, InstallsANewReleaseWhenIdle) {
  publish("0.4.16", next_);
  expect_the_new_version_running(first_);
}

// A broken release is put back by the saved previous program and never installed again, however
// often the checker sees it.
TEST_F(CheckerWindows, PutsBackABrokenReleaseAndNeverInstallsItAgain) {
  publish("0.4.16", broken_);
  EXPECT_EQ(wait_for_failed_update(), "0.4.16");
  EXPECT_EQ(wait_for_version(user_.port(), "0.4.15", std::chrono::seconds(60)), "0.4.15");
  EXPECT_TRUE(read_text(installed()) == current_);
  const auto running = processes_of(installed());
  ASSERT_EQ(running.size(), 1u);
  // Several more checks: the same agent keeps running the same program.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(processes_of(installed()), running);
  EXPECT_TRUE(read_text(installed()) == current_);
  EXPECT_EQ(query_running_agent(user_.port()), "0.4.15");
}

// A saved version cut short is refused by rollback, not installed.
TEST_F(UpdateWindows, RollbackRefusesASavedVersionThatDoesNotRun) {
  write_file(prev(), current_.substr(0, 4096));
  const auto result = run(app_, {"rollback"});
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_NE(result.err.find("does not run ("), std::string::npos) << result.err;
  EXPECT_EQ(read_text(app_), current_);
}

}  // namespace
}  // namespace vellora::test
