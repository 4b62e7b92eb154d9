#pragma once

#include <string_view>

namespace vellora {

// The build's own version, reported by --version, /v1/status and the update check.
inline constexpr std::string_view VERSION = "0.4.15";

}  // namespace vellora
