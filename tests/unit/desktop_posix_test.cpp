// The Linux desktop programs: notify-send, xclip or wl-copy, xdg-open.

#include <gtest/gtest.h>

#include <thread>

#include "desktop/desktop.h"
#include "harness.h"

namespace vellora {
namespace {

class DesktopTest : public ::testing::Test {
 protected:
  std::filesystem::path bin() const { return dir_.path(); }
  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", dir_.path().string() + ":/usr/bin:/bin"};
  test::ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
  test::ScopedEnv display_{"DISPLAY", ":99"};
  test::ScopedEnv systemctl_{"VELLORA_SYSTEMCTL", (dir_.path() / "systemctl").string()};
};

TEST_F(DesktopTest, NotificationPassesTitleAndBodyAsArguments) {
  test::write_script(bin() / "notify-send",
                     "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$0.args\"\n");
  EXPECT_TRUE(show_notification("Title \"q\"", "line 1\nline $HOME; `x`"));
  EXPECT_EQ(test::read_text(bin() / "notify-send.args"),
            "[--app-name=Vellora][--][Title \"q\"][line 1\nline $HOME; `x`]");
  // A lifetime in milliseconds; a text that looks like an option stays a text.
  EXPECT_TRUE(show_notification("-t", "--help", std::chrono::minutes(5)));
  EXPECT_EQ(test::read_text(bin() / "notify-send.args"),
            "[--app-name=Vellora][--expire-time=300000][--][-t][--help]");
  test::write_script(bin() / "notify-send", "exit 1\n");
  EXPECT_FALSE(show_notification("t", "b"));
  std::filesystem::remove(bin() / "notify-send");
  EXPECT_FALSE(show_notification("t", "b"));
}

TEST_F(DesktopTest, ClipboardGetsTheTextOnStandardInput) {
  test::write_script(bin() / "xclip", "printf '%s ' \"$@\" > \"$0.args\"; cat > \"$0.stdin\"\n");
  test::write_script(bin() / "wl-copy", "printf '%s ' \"$@\" > \"$0.args\"; cat > \"$0.stdin\"\n");
  EXPECT_TRUE(copy_to_clipboard("ABCD-EFGH-JKLM"));
  EXPECT_EQ(test::read_text(bin() / "xclip.args"), "-selection clipboard ");
  EXPECT_EQ(test::read_text(bin() / "xclip.stdin"), "ABCD-EFGH-JKLM");
  {
    test::ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_TRUE(copy_to_clipboard("on wayland"));
    EXPECT_EQ(test::read_text(bin() / "wl-copy.stdin"), "on wayland");
  }
  test::write_script(bin() / "xclip", "cat > /dev/null; exit 2\n");
  EXPECT_FALSE(copy_to_clipboard("x"));
  std::filesystem::remove(bin() / "xclip");
  EXPECT_FALSE(copy_to_clipboard("x"));
}

// An agent started by the user manager before the graphical session exported its variables to it
// takes them from the manager when it needs them; without them it says why.
TEST_F(DesktopTest, SessionVariablesComeFromTheUserManager) {
  test::ScopedEnv display("DISPLAY", std::nullopt);
  test::ScopedEnv xauthority("XAUTHORITY", std::nullopt);
  const std::string record = "printf '%s|%s|%s' \"$DISPLAY\" \"$WAYLAND_DISPLAY\" \"$XAUTHORITY\"";
  test::write_script(bin() / "xclip", record + " > \"$0.env\"; cat > /dev/null\n");
  test::write_script(bin() / "wl-copy", record + " > \"$0.env\"; cat > /dev/null\n");
  test::write_script(bin() / "xdg-open", record + " > \"$0.env\"\n");
  const auto manager = [&](const std::string& lines) {
    test::write_script(bin() / "systemctl",
                       "echo \"$*\" >> \"$0.calls\"\nprintf '" + lines + "'\n");
  };
  manager("HOME=/home/u\\nDISPLAY=:1\\nXAUTHORITY=/run/user/1000/gdm/Xauthority\\nLANG=C\\n");
  EXPECT_EQ(desktop_unreachable(), std::nullopt);
  EXPECT_TRUE(copy_to_clipboard("x"));
  EXPECT_EQ(test::read_text(bin() / "xclip.env"), ":1||/run/user/1000/gdm/Xauthority");
  open_in_browser("http://localhost:3000");
  for (int i = 0; i < 300 && test::read_text(bin() / "xdg-open.env").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::read_text(bin() / "xdg-open.env"), ":1||/run/user/1000/gdm/Xauthority");
  EXPECT_TRUE(test::read_text(bin() / "systemctl.calls").starts_with("--user show-environment\n"));
  {
    // The agent's own XAUTHORITY is kept.
    test::ScopedEnv own("XAUTHORITY", "/home/u/.Xauthority");
    manager("WAYLAND_DISPLAY=wayland-1\\nXAUTHORITY=/elsewhere\\n");
    EXPECT_TRUE(copy_to_clipboard("x"));
    EXPECT_EQ(test::read_text(bin() / "wl-copy.env"), "|wayland-1|/home/u/.Xauthority");
  }

  // Neither here nor there: said on standard error, and the program is still tried.
  for (const std::string& lines : {std::string("HOME=/home/u\\nDISPLAY=\\n"), std::string()}) {
    manager(lines);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(copy_to_clipboard("x"));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said,
              "Desktop: copying to the clipboard may fail: neither DISPLAY nor WAYLAND_DISPLAY is "
              "set, in the agent's environment or in the user manager's (systemctl --user "
              "show-environment)\n");
    EXPECT_TRUE(desktop_unreachable().has_value());
  }
  std::filesystem::remove(bin() / "systemctl");
  EXPECT_TRUE(desktop_unreachable().has_value());
}

TEST_F(DesktopTest, ClipboardProgramThatKeepsRunningCountsAfterThreeSeconds) {
  // Like xclip serving the selection: it reads everything, then stays.
  test::write_script(bin() / "xclip", "cat > \"$0.stdin\"; exec sleep 30\n");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(copy_to_clipboard("kept"));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(test::read_text(bin() / "xclip.stdin"), "kept");
}

TEST_F(DesktopTest, BrowserOpensWithoutWaiting) {
  test::write_script(bin() / "xdg-open", "sleep 1; printf '%s' \"$1\" > \"$0.url\"\n");
  const auto started = std::chrono::steady_clock::now();
  open_in_browser("http://localhost:3000/?a=1&b=2");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
  for (int i = 0; i < 300 && test::read_text(bin() / "xdg-open.url").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::read_text(bin() / "xdg-open.url"), "http://localhost:3000/?a=1&b=2");
  std::filesystem::remove(bin() / "xdg-open");
  open_in_browser("http://x");  // a missing program is silent
}

}  // namespace
}  // namespace vellora
