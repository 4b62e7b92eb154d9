#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace vellora {

// The last step of an update of the installed service: restarts it and waits until the new version
// answers on the port. When it does not, the saved previous program ("prev") is put back and
// restarted, the version is remembered as failed, and the error says what happened.
std::expected<void, std::string> finish_update(const std::filesystem::path& home,
                                               std::uint16_t port, const std::string& version,
                                               const std::filesystem::path& target);

// The "finish-update <version>" command: what the running agent hands its automatic update over
// to, run from the saved previous program (the agent itself is stopped by the restart). A failure
// is also shown as a notification, the only place a user sees it.
std::expected<void, std::string> finish_update_command(const std::filesystem::path& home,
                                                       std::uint16_t port,
                                                       const std::string& version);

// A version whose installation failed at its restart is never installed automatically again
// (the file "failed-update" in the config directory holds the last one).
void remember_failed_update(const std::filesystem::path& config_dir, const std::string& version);
bool update_failed_before(const std::filesystem::path& config_dir, const std::string& version);

}  // namespace vellora
