#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vellora {

// Shows a desktop notification from "Vellora"; true when the notification program ran and exited
// with status 0. A lifetime keeps it until then (a pairing code's validity) where the desktop
// lets the sender choose; zero leaves it to the desktop.
bool show_notification(const std::string& title, const std::string& body,
                       std::chrono::seconds lifetime = std::chrono::seconds(0));

// Hands the text to the system clipboard; true when the clipboard program accepted it (it exited
// with status 0, or was still holding the text 3 seconds after it was given all of it).
bool copy_to_clipboard(const std::string& text);

// Opens the URL with the user's default handler and returns at once; failures are silent.
void open_in_browser(const std::string& url);

// Why the clipboard and the browser cannot reach the user's graphical session; none when they can.
// On Linux the session is found through DISPLAY or WAYLAND_DISPLAY, taken from the user manager's
// environment when the agent's own lacks them; without either, those two actions say so on
// standard error.
std::optional<std::string> desktop_unreachable();

}  // namespace vellora
