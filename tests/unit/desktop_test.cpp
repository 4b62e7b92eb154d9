#include <gtest/gtest.h>

#include "desktop/toast_script.h"

namespace vellora {
namespace {

TEST(ToastScript, IsTheFixedSingleLine) {
  EXPECT_EQ(TOAST_SCRIPT.size(), 644u);
  EXPECT_EQ(TOAST_SCRIPT.find('\n'), std::string_view::npos);
  EXPECT_NE(TOAST_SCRIPT.find("$env:VL_TITLE"), std::string_view::npos);
  EXPECT_NE(TOAST_SCRIPT.find("$env:VL_BODY"), std::string_view::npos);
}

// A notification with a lifetime stays longer on screen and leaves the notification centre when
// its lifetime ends; the texts still travel only in the variables.
TEST(ToastScript, WithALifetimeSetsDurationAndExpiry) {
  EXPECT_EQ(toast_script(std::chrono::seconds(0)), TOAST_SCRIPT);
  const std::string script = toast_script(std::chrono::minutes(5));
  EXPECT_EQ(script.find('\n'), std::string::npos);
  EXPECT_TRUE(script.starts_with(TOAST_SCRIPT.substr(
      0, TOAST_SCRIPT.find(
             "[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier"))));
  EXPECT_TRUE(script.ends_with(
      "$x.DocumentElement.SetAttribute('duration', 'long'); $t = "
      "[Windows.UI.Notifications.ToastNotification]::new($x); $t.ExpirationTime = "
      "[DateTimeOffset]::Now.AddSeconds(300); "
      "[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier('{1AC14E77-02E7-"
      "4E5D-B744-2EB1AE5198B7}\\WindowsPowerShell\\v1.0\\powershell.exe').Show($t)"))
      << script;
}

}  // namespace
}  // namespace vellora
