#include <windows.h>

#include "platform/links.h"

namespace vellora::platform {

bool is_link(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool remove_link(const std::filesystem::path& path) {
  // A junction or directory link is removed as a directory, which leaves its target alone.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return ::RemoveDirectoryW(path.c_str()) != 0;
  return ::DeleteFileW(path.c_str()) != 0;
}

bool read_only_files_protected() {
  return false;
}

}  // namespace vellora::platform
