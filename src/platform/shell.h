#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vellora::platform {

// Hands the URL to the desktop's default handler and returns at once; failures are silent.
// Windows: ShellExecuteW on a thread of its own. No command interpreter reads the URL, so "&",
// "^", "%" and the like in a query string reach the browser as they are. Elsewhere: xdg-open,
// with the URL as its one argument and `env` added to its environment (the graphical session's
// variables when the agent's own lack them).
void open_with_default_handler(const std::string& url,
                               const std::vector<std::pair<std::string, std::string>>& env = {});

}  // namespace vellora::platform
