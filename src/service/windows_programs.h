#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// The Windows registration: a value under the user's Run key, written and read with `reg`;
// running agents are found by these image names. Kept apart so the argument lists are checked on
// every system.
inline constexpr std::string_view RUN_KEY =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view RUN_VALUE = "VelloraAgent";
inline constexpr std::string_view WINDOWS_IMAGE_NAMES[] = {"vellora-agent.exe",
                                                           "vellora-agent-windows-x86_64.exe"};

// `"<installed path with \ separators>" launch`
std::string run_value_data(std::string_view installed_path);

std::vector<std::string> reg_query_args();
// True when `reg query`'s output lists the Run value with exactly the command for this path.
bool run_value_listed(std::string_view reg_output, std::string_view installed_path);
std::vector<std::string> reg_add_args(std::string_view installed_path);
std::vector<std::string> reg_delete_args();

}  // namespace vellora
