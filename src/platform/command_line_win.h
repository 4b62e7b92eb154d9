#pragma once

#include <string>

namespace vellora::platform {

// Windows only: appends one argument to a command line, quoted by the rules the C runtime uses to
// split a command line (CommandLineToArgvW and the CRT agree on them).
void append_quoted_argument(std::wstring& line, const std::wstring& arg);

}  // namespace vellora::platform
