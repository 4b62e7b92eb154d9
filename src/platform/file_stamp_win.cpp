#include <windows.h>

#include "platform/file_stamp.h"

namespace vellora::platform {

std::optional<FileStamp> regular_file_stamp(const wchar_t* native_path) {
  // Opened without access rights, only to read its attributes; a link is opened itself.
  const HANDLE handle = ::CreateFileW(
      native_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool read = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  constexpr DWORD not_regular =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if (!read || (info.dwFileAttributes & not_regular) != 0) return std::nullopt;
  const auto wide = [](DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
  };
  return FileStamp{info.dwVolumeSerialNumber, wide(info.nFileIndexHigh, info.nFileIndexLow),
                   wide(info.nFileSizeHigh, info.nFileSizeLow),
                   static_cast<std::int64_t>(wide(info.ftLastWriteTime.dwHighDateTime,
                                                  info.ftLastWriteTime.dwLowDateTime))};
}

StampReader::StampReader(const std::filesystem::path& directory) : directory_(directory) {}

StampReader::~StampReader() = default;

std::optional<FileStamp> StampReader::regular_file_stamp(const wchar_t* relative) const {
  return platform::regular_file_stamp(directory_ / relative);
}

bool is_real_directory(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace vellora::platform
