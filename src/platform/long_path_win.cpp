#include <windows.h>

#include "platform/long_path.h"

namespace vellora::platform {

std::filesystem::path long_path(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  if (text.empty() || text.starts_with(L"\\\\?\\") || text.starts_with(L"\\\\.\\")) return path;
  // The system's own normalisation: made absolute, "/" turned into "\", "." and ".." resolved.
  const DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  if (full.starts_with(L"\\\\")) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
    return std::filesystem::path(L"\\\\?\\" + full);
  return path;
}

}  // namespace vellora::platform
