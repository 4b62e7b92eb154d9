#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "net/fetch.h"
#include "service/manifest.h"

namespace vellora {

// How the update procedure is run from inside the agent (by the update checker).
struct UpdateOptions {
  // Asked right before the running copy is replaced and restarted; false leaves it all unchanged.
  std::function<bool()> may_replace;
  // This process is the running agent: the restart is handed over (it holds the port).
  bool from_running_agent = false;
  // Whether the downloader's own words (its progress) are shown as they come.
  net::ToolOutput tool_output = net::ToolOutput::Captured;
};

enum class UpdateOutcome { Installed, Skipped };

// Downloads the release, checks its digest and that it runs as the announced version, saves the
// current executable as "prev", installs the new one and restarts the service when installed.
// Prints one result line.
std::expected<UpdateOutcome, std::string> perform_update(const std::filesystem::path& home,
                                                         const std::string& origin,
                                                         const UpdateManifest& manifest,
                                                         std::uint16_t port,
                                                         const UpdateOptions& options = {});

// Runs the downloaded file with --version: within the limit it must print exactly
// "vellora-agent <version>" (a line end aside). A file that answers otherwise or not in time is
// deleted.
std::expected<void, std::string> trial_run(const std::filesystem::path& file,
                                           const std::string& version,
                                           std::chrono::milliseconds limit);

std::expected<void, std::string> update_command(const std::filesystem::path& home,
                                                const std::string& origin, bool assume_yes,
                                                std::uint16_t port);
std::expected<void, std::string> rollback_command(const std::filesystem::path& home);

// The auto-update command: the argument (none: show the policy). The error is the usage line or
// a failed write; `usage` tells which.
struct AutoUpdateError {
  std::string text;
  bool usage = false;
};
std::expected<void, AutoUpdateError> auto_update_command(const std::filesystem::path& config_dir,
                                                         const std::optional<std::string>& arg);

}  // namespace vellora
