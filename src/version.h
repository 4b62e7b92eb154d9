#pragma once

#include <string_view>

namespace vellora {

// The build's own version, reported by --version, /v1/status and the update check.
extern const std::string_view VERSION;

}  // namespace vellora
