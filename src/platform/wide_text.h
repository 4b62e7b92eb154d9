#pragma once

#include <string>
#include <string_view>

namespace vellora::platform {

// UTF-8 to UTF-16, for the Windows implementations only.
std::wstring widen(std::string_view text);

}  // namespace vellora::platform
