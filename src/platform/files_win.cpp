#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/files.h"
#include "platform/windows_error.h"

namespace vellora::platform {
namespace {

std::string failure(const char* what, const std::filesystem::path& path, DWORD error) {
  return std::string(what) + " " + path_text(path) + ": " + windows_error_text(error);
}

bool held_by_another(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

FileError file_error(const char* what, const std::filesystem::path& path, DWORD error) {
  return FileError{failure(what, path, error), held_by_another(error)};
}

struct OpenFile {
  HANDLE h;
  ~OpenFile() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

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

std::expected<void, FileError> copy_to_new_file(const std::filesystem::path& from,
                                                const std::filesystem::path& to) {
  OpenFile in{CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
  if (in.h == INVALID_HANDLE_VALUE)
    return std::unexpected(file_error("cannot read", from, GetLastError()));
  OpenFile out{CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr)};
  if (out.h == INVALID_HANDLE_VALUE)
    return std::unexpected(file_error("cannot create", to, GetLastError()));
  std::optional<FileError> failed;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(in.h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      failed = file_error("cannot read", from, GetLastError());
      break;
    }
    if (n == 0) break;
    DWORD written = 0;
    if (!WriteFile(out.h, buffer.data(), n, &written, nullptr) || written != n) {
      failed = file_error("cannot write", to, GetLastError());
      break;
    }
  }
  if (!failed && !FlushFileBuffers(out.h)) failed = file_error("cannot write", to, GetLastError());
  const BOOL closed = CloseHandle(out.h);
  out.h = INVALID_HANDLE_VALUE;
  if (!failed && !closed) failed = file_error("cannot write", to, GetLastError());
  if (!failed) return {};
  DeleteFileW(to.c_str());
  return std::unexpected(*failed);
}

std::expected<void, FileError> move_replacing(const std::filesystem::path& from,
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
    if (!held_by_another(error)) break;
  }
  return std::unexpected(file_error("cannot replace", to, error));
}

std::expected<void, std::string> replace_file(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  if (auto moved = move_replacing(from, to); !moved) return std::unexpected(moved.error().text);
  return {};
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
