#include <windows.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/env.h"
#include "platform/files.h"

namespace vellora::platform {
namespace {

std::string failure(const char* what, const std::filesystem::path& path, DWORD error) {
  return std::string(what) + " " + path_text(path) + ": " +
         std::system_category().message(static_cast<int>(error)) + " (os error " +
         std::to_string(error) + ")";
}

}  // namespace

std::expected<void, std::string> write_file_durable(const std::filesystem::path& path,
                                                    std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return std::unexpected(failure("cannot create", path, GetLastError()));
  DWORD error = 0;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      error = GetLastError();
      break;
    }
    bytes.remove_prefix(written);
  }
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  if (error != 0) return std::unexpected(failure("cannot write", path, error));
  return {};
}

std::expected<void, std::string> replace_file(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  // Another program holding the target open without delete sharing makes the move fail for as
  // long as it keeps it open, usually a moment.
  constexpr int TRIES = 10;
  DWORD error = 0;
  for (int attempt = 0; attempt < TRIES; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return {};
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
        error != ERROR_LOCK_VIOLATION)
      break;
  }
  return std::unexpected(failure("cannot replace", to, error));
}

void make_read_only(const std::filesystem::path&) {}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

FileLock::~FileLock() {
  if (handle_ == -1) return;
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED whole{};
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(file);
}

std::expected<FileLock, std::string> FileLock::acquire(const std::filesystem::path& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return std::unexpected(failure("cannot open the lock file", path, GetLastError()));
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return std::unexpected(failure("cannot lock", path, error));
  }
  return FileLock(reinterpret_cast<std::intptr_t>(file));
}

std::expected<void, std::string> clone_or_copy(const std::filesystem::path& from,
                                               const std::filesystem::path& to) {
  // CopyFileW makes a file of its own (NTFS has no reflinks); the store's read-only mark is not
  // carried over, so tools may write to the copy.
  if (!CopyFileW(from.c_str(), to.c_str(), TRUE))
    return std::unexpected(failure("could not copy to", to, GetLastError()));
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return {};
}

}  // namespace vellora::platform
