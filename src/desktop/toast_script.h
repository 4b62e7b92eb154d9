#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vellora {

// The PowerShell line that shows a Windows toast. The texts travel only in the variables
// VL_TITLE and VL_BODY, so quotes, "$" or line breaks in them are never interpreted.
inline constexpr std::string_view TOAST_SCRIPT =
    "[Windows.UI.Notifications.ToastNotificationManager, Windows.UI.Notifications, ContentType = "
    "WindowsRuntime] | Out-Null; $x = "
    "[Windows.UI.Notifications.ToastNotificationManager]::GetTemplateContent([Windows.UI."
    "Notifications.ToastTemplateType]::ToastText02); $n = $x.GetElementsByTagName('text'); "
    "$n.Item(0).AppendChild($x.CreateTextNode($env:VL_TITLE)) | Out-Null; "
    "$n.Item(1).AppendChild($x.CreateTextNode($env:VL_BODY)) | Out-Null; "
    "[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier('{1AC14E77-02E7-4E5D-"
    "B744-2EB1AE5198B7}\\WindowsPowerShell\\v1.0\\powershell.exe').Show([Windows.UI.Notifications."
    "ToastNotification]::new($x))";

// The toast script for a notification with a lifetime: the toast stays on screen as long as
// Windows allows ("long", about 25 seconds), then waits in the notification centre until the
// lifetime ends, when Windows removes it. Without a lifetime, TOAST_SCRIPT itself.
inline std::string toast_script(std::chrono::seconds lifetime) {
  if (lifetime.count() <= 0) return std::string(TOAST_SCRIPT);
  constexpr std::string_view NOTIFIER =
      "[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier(";
  const std::size_t show = TOAST_SCRIPT.rfind(NOTIFIER);
  const std::string_view prepare = TOAST_SCRIPT.substr(0, show);
  const std::string_view notifier =
      TOAST_SCRIPT.substr(show, TOAST_SCRIPT.find(".Show(", show) - show);
  return std::string(prepare) +
         "$x.DocumentElement.SetAttribute('duration', 'long'); "
         "$t = [Windows.UI.Notifications.ToastNotification]::new($x); "
         "$t.ExpirationTime = [DateTimeOffset]::Now.AddSeconds(" +
         std::to_string(lifetime.count()) + "); " + std::string(notifier) + ".Show($t)";
}

}  // namespace vellora
