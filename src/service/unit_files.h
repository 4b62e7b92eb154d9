#pragma once

#include <filesystem>
#include <string>

namespace vellora {

// The systemd user unit that runs "<installed> background".
std::string systemd_unit_text(const std::filesystem::path& installed);

// The XDG autostart entry that runs "<installed> launch" at log-in.
std::string autostart_entry_text(const std::filesystem::path& installed);

}  // namespace vellora
