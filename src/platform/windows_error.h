#pragma once

#include <string>

namespace vellora::platform {

// Windows only: a system error code in the system's words, with its number: "Access is denied.
// (os error 5)". Messages with inserts ("%1") are taken as they are, never expanded.
std::string windows_error_text(unsigned long code);

}  // namespace vellora::platform
