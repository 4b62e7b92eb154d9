#pragma once

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

}  // namespace vellora
