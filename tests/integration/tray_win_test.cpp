// The tray icon on Windows, end to end without a display: a stand-in notification area records
// what the agent's icon sends, and the menu's commands reach the agent's hidden window as the
// popup menu would send them. The stand-in is the session's one notification area, so these tests
// run alone (RUN_SERIAL, tests/CMakeLists.txt).

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <thread>

#include "harness.h"
#include "notification_area_win.h"
#include "platform/env.h"
#include "tray/run_tray.h"

namespace vellora::test {
namespace {

const std::string DOT = " \u00b7 ";

// Waits until the agent has said `text` on standard output (it says so after adding its icon).
bool said(const Agent& agent, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (agent.output().find(text) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return agent.output().find(text) != std::string::npos;
}

class TrayWindows : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(area_.ready()); }
  // Starts the agent with its tray; the window that owns its icon.
  HWND start_agent_with_tray() {
    EXPECT_TRUE(agent_.start({})) << agent_.errors();
    const HWND window =
        area_.wait_for_icon(static_cast<DWORD>(agent_.pid()), std::chrono::seconds(30));
    EXPECT_NE(window, nullptr) << agent_.errors();
    return window;
  }
  std::string port() const { return std::to_string(agent_.port()); }

  NotificationArea area_;
  Agent agent_;
};

TEST_F(TrayWindows, IconShowsTheIdleStateAndComesBackWhenTheTaskbarRestarts) {
  const HWND window = start_agent_with_tray();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(said(agent_, "System tray icon: active.\n")) << agent_.output();
  EXPECT_EQ(agent_.errors(), "");
  const auto calls = area_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[0].tooltip, "Idle (127.0.0.1:" + port() + ")");

  // Explorer restarted: every program is told so and adds its icon again.
  PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (area_.calls().size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto again = area_.calls();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(again[1].owner, window);
  EXPECT_EQ(agent_.get("/v1/status").status, 200u);
}

TEST_F(TrayWindows, CheckForUpdatesAsksTheSiteAndTheTooltipNamesTheNewVersion) {
  const fs::path site = agent_.root() / "site";
  fs::create_directories(site / "static/agent");
  write_file(site / "static/agent/version.json",
             R"({"version":"9.9.9","sha256_windows":")" + std::string(64, 'a') + R"("})");
  fs::copy_file(helper_binary(), agent_.bin() / "curl.exe");
  agent_.set_env("FAKE_SITE", platform::path_text(site));
  agent_.set_env("VELLORA_SITE", "http://127.0.0.1:9");
  // The periodic checker stays out of the way: only the click asks.
  agent_.set_env("VELLORA_UPDATE_FIRST_SECS", "100000");
  const HWND window = start_agent_with_tray();
  ASSERT_NE(window, nullptr);
  click_tray_item(window, CHECK_ITEM);
  const auto tooltip =
      area_.wait_for_tooltip(window, "Update available: 9.9.9", std::chrono::seconds(30));
  EXPECT_EQ(tooltip, "Idle (127.0.0.1:" + port() + ")" + DOT + "Update available: 9.9.9");
  EXPECT_NE(read_text(site / "requests.log").find("/static/agent/version.json"), std::string::npos);
}

// Clicks on entries that are disabled (the status line, an update not yet offered) or unknown do
// nothing; Quit ends the agent.
TEST_F(TrayWindows, OnlyEnabledEntriesActAndQuitEndsTheAgent) {
  const HWND window = start_agent_with_tray();
  ASSERT_NE(window, nullptr);
  for (const int item : {static_cast<int>(STATUS_ITEM), static_cast<int>(UPDATE_ITEM), 99})
    click_tray_item(window, item);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_TRUE(process_alive(agent_.pid()));
  EXPECT_EQ(agent_.get("/v1/status").status, 200u);
  click_tray_item(window, QUIT_ITEM);
  EXPECT_EQ(agent_.wait_exit(), 0);
}

// Started at log-on before Explorer's taskbar, the agent used to go without its icon for good: the
// icon is added as soon as the notification area takes it.
TEST(TrayWindowsBeforeTheTaskbar, IconIsAddedOnceTheNotificationAreaIsThere) {
  Agent agent;
  ASSERT_TRUE(agent.start({}));
  // Before the fix: "Tray icon unavailable"; then "active" while nothing showed the icon.
  EXPECT_TRUE(said(agent, "System tray icon: waiting for a tray (none on this desktop yet)\n"))
      << agent.output() << agent.errors();
  EXPECT_EQ(agent.output().find("System tray icon: active."), std::string::npos);
  NotificationArea area;
  ASSERT_TRUE(area.ready());
  const HWND window = area.wait_for_icon(static_cast<DWORD>(agent.pid()), std::chrono::seconds(30));
  ASSERT_NE(window, nullptr) << agent.output() << agent.errors();
  EXPECT_EQ(area.calls()[0].tooltip, "Idle (127.0.0.1:" + std::to_string(agent.port()) + ")");
  EXPECT_TRUE(said(agent, "System tray icon: active.\n")) << agent.output();
  EXPECT_EQ(agent.errors(), "");
}

}  // namespace
}  // namespace vellora::test
