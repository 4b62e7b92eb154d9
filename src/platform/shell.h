#pragma once

#include <string>

namespace vellora::platform {

// Hands the URL to the desktop's default handler and returns at once; failures are silent.
// Windows: ShellExecuteW on a thread of its own. No command interpreter reads the URL, so "&",
// "^", "%" and the like in a query string reach the browser as they are. Elsewhere: xdg-open,
// with the URL as its one argument.
void open_with_default_handler(const std::string& url);

}  // namespace vellora::platform
