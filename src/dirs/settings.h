#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vellora {

// The automatic-update policy kept in "settings.json".
enum class AutoUpdate { Off, Notify, On };

std::string_view policy_text(AutoUpdate policy);

// "notify" whenever the file is missing, unreadable, invalid or holds another value.
AutoUpdate load_policy(const std::filesystem::path& config_dir);

// The exact text of "settings.json" for a policy.
std::string settings_text(AutoUpdate policy);

}  // namespace vellora
