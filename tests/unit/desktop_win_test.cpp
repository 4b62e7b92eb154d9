// Windows only: the clipboard through `clip`, URLs through the shell's handler, toasts.

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "desktop/desktop.h"
#include "harness.h"
#include "platform/env.h"
#include "platform/wide_text.h"

namespace vellora {
namespace {

class DesktopWindows : public ::testing::Test {
 protected:
  std::filesystem::path bin() const { return dir_.path(); }
  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", platform::path_text(dir_.path()) + ";" + test::system_path()};
};

// clip comes from the system folder; VELLORA_SYSTEM_PROGRAMS points it at the test's stand-in.
TEST_F(DesktopWindows, ClipboardGetsTheTextOnStandardInput) {
  test::ScopedEnv system("VELLORA_SYSTEM_PROGRAMS", platform::path_text(bin()));
  std::filesystem::copy_file(test::helper_binary(), bin() / "clip.exe");
  EXPECT_TRUE(copy_to_clipboard("ABCD-EFGH-JKLM \u00e9"));
  EXPECT_EQ(test::read_text(bin() / "clip.stdin"), "ABCD-EFGH-JKLM \u00e9");
  {
    test::ScopedEnv fail("FAKE_CLIP", "fail");
    EXPECT_FALSE(copy_to_clipboard("x"));
  }
  std::filesystem::remove(bin() / "clip.exe");
  EXPECT_FALSE(copy_to_clipboard("x"));
}

// A clip.exe on PATH, in the working directory or beside the agent is never the one that runs.
TEST_F(DesktopWindows, ClipOutsideTheSystemFolderNeverRuns) {
  std::filesystem::copy_file(test::helper_binary(), bin() / "clip.exe");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(bin());
  (void)copy_to_clipboard("x");  // wine has no clip of its own: false there, true on Windows
  std::filesystem::current_path(cwd);
  EXPECT_FALSE(std::filesystem::exists(bin() / "clip.stdin"));
}

// Registers a URL scheme whose handler records the URL it is given, as a browser would get it.
class UrlHandler {
 public:
  UrlHandler(const std::filesystem::path& helper, const std::filesystem::path& record) {
    const std::wstring command =
        L"\"" + helper.native() + L"\" record \"" + record.native() + L"\" \"%1\"";
    // Per user on Windows; wine looks the scheme up among the machine-wide classes.
    for (const auto& [root, key_name] : KEYS) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(root, (key_name + L"\\shell\\open\\command").c_str(), 0, nullptr, 0,
                          KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        continue;
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(key);
      RegCreateKeyExW(root, key_name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
      RegSetValueExW(key, L"URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                     sizeof(wchar_t));
      RegCloseKey(key);
    }
  }
  ~UrlHandler() {
    for (const auto& [root, key_name] : KEYS) RegDeleteTreeW(root, key_name.c_str());
  }

 private:
  inline static const std::pair<HKEY, std::wstring> KEYS[] = {
      {HKEY_CURRENT_USER, L"Software\\Classes\\vellora-test"},
      {HKEY_CLASSES_ROOT, L"vellora-test"}};
};

TEST_F(DesktopWindows, BrowserGetsTheUrlAsItIsAndNothingRuns) {
  const auto record = bin() / "url.txt";
  UrlHandler handler(test::helper_binary(), record);
  // Through cmd, "&" would end the URL and run the rest (no space, so nothing quotes it).
  const std::string url =
      "vellora-test://localhost:3000/?a=1&b=^2&c=100%25%20x%&d=(x)&e=a|b&echo.>" +
      platform::path_text(bin() / "pwned");
  const auto started = std::chrono::steady_clock::now();
  open_in_browser(url);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
  for (int i = 0; i < 1000 && test::read_text(record).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::read_text(record), "[" + url + "]");
  EXPECT_FALSE(std::filesystem::exists(bin() / "pwned"));
}

// Needs the Windows toast service: wine's powershell is a stub that exits 0 whatever it is asked.
TEST_F(DesktopWindows, ToastIsShown) {
  EXPECT_TRUE(show_notification("Vellora test", "A toast with \"quotes\", $x and ; marks"));
}

// Needs Windows' own clip program, which wine does not have.
TEST_F(DesktopWindows, SystemClipboardHoldsTheText) {
  test::ScopedEnv path("PATH", test::system_path());
  ASSERT_TRUE(copy_to_clipboard("held"));
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(data, nullptr);
  const std::wstring text(static_cast<const wchar_t*>(GlobalLock(data)));
  GlobalUnlock(data);
  CloseClipboard();
  EXPECT_EQ(text, L"held");
}

}  // namespace
}  // namespace vellora
