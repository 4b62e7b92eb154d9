#pragma once

#include <filesystem>

namespace vellora {

// The tray's two update actions. Each returns at once, works on a thread of its own and reports
// through update_state(); a second call while one runs does nothing.

// Asks the site for the newest version.
void check_now();

// Runs "<this executable> update --yes" and notifies its result.
void update_now();

// The same with another program in place of this executable.
void update_now_with(const std::filesystem::path& program);

}  // namespace vellora
