#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vellora {

// A system package (the .deb) installs the agent as <prefix>/bin/vellora-agent beside
// <prefix>/lib/vellora-agent/updated-by, which names the tool that updates it ("apt"). Such a
// program is never replaced by the agent's own update.
std::optional<std::string> package_updater(const std::filesystem::path& program);

// The same for the running program; none when its path cannot be determined.
std::optional<std::string> package_updater_of_this_program();

// "installed by the system's package manager: update it with apt".
std::string package_managed_text(const std::string& updater);

}  // namespace vellora
