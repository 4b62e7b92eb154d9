#include "platform/command_line_win.h"

namespace vellora::platform {

void append_quoted_argument(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      line.append(2 * backslashes + 1, L'\\');
      line += L'"';
      backslashes = 0;
    } else {
      line.append(backslashes, L'\\');
      backslashes = 0;
      line += c;
    }
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

}  // namespace vellora::platform
