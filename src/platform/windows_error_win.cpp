#include <windows.h>

#include "common/text.h"
#include "platform/env.h"
#include "platform/windows_error.h"

namespace vellora::platform {

std::string windows_error_text(unsigned long code) {
  wchar_t* message = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text = n ? path_text(std::filesystem::path(std::wstring(message, n))) : std::string();
  if (message) LocalFree(message);
  text = std::string(trim(text));
  if (text.empty()) return "os error " + std::to_string(code);
  return text + " (os error " + std::to_string(code) + ")";
}

}  // namespace vellora::platform
