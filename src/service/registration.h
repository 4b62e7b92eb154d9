#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace vellora {

// How the agent starts with the user's session. Windows: a value under the user's Run key that
// runs "<installed> launch". Linux: a systemd user unit running "<installed> background", or,
// where no user manager answers, an XDG autostart entry running "<installed> launch".

// Windows: <home>/AppData/Local/Programs/vellora-agent/vellora-agent.exe;
// Linux: <home>/.local/lib/vellora-agent/vellora-agent (with a link in ~/.local/bin).
std::filesystem::path installed_exe_path(const std::filesystem::path& home);

bool service_installed(const std::filesystem::path& home);

// The "Service:" value of the status command; `program` is what the service starts.
std::string service_status_text(const std::filesystem::path& home,
                                const std::filesystem::path& program);

// Registers the installed executable for start at log-on.
std::expected<void, std::string> register_service(const std::filesystem::path& home);

// Removes the registration; errors are ignored.
void unregister_service(const std::filesystem::path& home);

// A program a system package installed runs where the package put it, under the package's own
// systemd user unit: enabling that unit for this user is its registration (Linux only).
std::expected<void, std::string> register_packaged_service(const std::filesystem::path& home);
void unregister_packaged_service(const std::filesystem::path& home);

// Stops every other running agent of this user; never the calling process.
void stop_other_agents();

// Stops the other agents and starts the installed one again.
std::expected<void, std::string> restart_service(const std::filesystem::path& home);

// The restart asked for by the running agent itself, which holds the port: it must end for the
// new copy to start, so the restart is left to the service manager or to a helper process.
std::expected<void, std::string> hand_over_restart(const std::filesystem::path& home);

// Starts "<executable> background", detached.
std::expected<void, std::string> start_background(const std::filesystem::path& executable);

// How the user sees why the agent does not start.
std::string background_run_hint();

}  // namespace vellora
