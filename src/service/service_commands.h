#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace vellora {

// The install, uninstall, status and launch commands. Output goes to standard output; errors are
// returned for the command line to report.
std::expected<void, std::string> install_command(const std::filesystem::path& home,
                                                 std::uint16_t port);
void uninstall_command(const std::filesystem::path& home);
std::string status_text(const std::filesystem::path& home, std::uint16_t port);
std::expected<void, std::string> launch_command();

}  // namespace vellora
