#pragma once

#include <string>

namespace vellora {

// Shows a desktop notification; true when the notification program ran and exited with status 0.
bool show_notification(const std::string& title, const std::string& body);

// Hands the text to the system clipboard; true when the clipboard program accepted it (it exited
// with status 0, or was still holding the text 3 seconds after it was given all of it).
bool copy_to_clipboard(const std::string& text);

// Opens the URL with the user's default handler and returns at once; failures are silent.
void open_in_browser(const std::string& url);

}  // namespace vellora
