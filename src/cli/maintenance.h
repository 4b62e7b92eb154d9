#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vellora {

using CommandTable = std::map<std::string, std::function<void()>>;

// Adds install, uninstall, status, launch, update, auto-update, rollback, finish-update,
// install-tinytex and uninstall-tinytex to the table.
void add_maintenance_commands(CommandTable& commands, const std::vector<std::string>& args);

// "Error: <text>" on standard error, then the process ends with status 1.
[[noreturn]] void command_failed(const std::string& error);

}  // namespace vellora
