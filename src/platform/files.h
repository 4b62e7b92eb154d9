#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vellora::platform {

// Creates or truncates the file, writes all bytes and flushes them to the disk before closing,
// so that a rename published afterwards never exposes an empty or partial file after a crash.
// The error names the file and what failed.
std::expected<void, std::string> write_file_durable(const std::filesystem::path& path,
                                                    std::string_view bytes);

// Renames `from` onto `to`, replacing an existing file, durably where the system allows. On
// Windows a file that another program holds open briefly (virus scanners, indexers, sync tools)
// is retried for about a second.
std::expected<void, std::string> replace_file(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

// Why a file could not be copied or moved, in the system's words (the path included). `in_use`:
// another program holds the file open (Windows: a virus scanner, a backup tool, the program
// itself running).
struct FileError {
  std::string text;
  bool in_use = false;
};

// Copies `from` into `to`, a new file (an existing one is an error), flushed to the disk. A failed
// copy leaves no `to` behind.
std::expected<void, FileError> copy_to_new_file(const std::filesystem::path& from,
                                                const std::filesystem::path& to);

// Moves `from` onto `to`, replacing an existing file (on Windows MoveFileExW with
// MOVEFILE_REPLACE_EXISTING, retried for about a second while the file is held).
std::expected<void, FileError> move_replacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

// Makes a file read-only for everyone where the system has such permissions (POSIX); a no-op on
// Windows, where a read-only file could no longer be deleted or replaced by the usual calls.
// Makes `to` (which must not exist) a copy of `from` that shares nothing with it: a clone of its
// blocks where the file system offers one (a copy-on-write reflink), otherwise a plain copy. The
// copy is writable by its owner.
std::expected<void, std::string> clone_or_copy(const std::filesystem::path& from,
                                               const std::filesystem::path& to);

void make_read_only(const std::filesystem::path& path);

// An exclusive advisory lock on a file, held until the object is destroyed. It serialises
// processes (and threads, each with its own FileLock) that agree to take it; it does not stop
// anyone from reading or writing the files it guards.
class FileLock {
 public:
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  ~FileLock();

  // Creates the lock file when it is missing and waits until the lock is ours.
  static std::expected<FileLock, std::string> acquire(const std::filesystem::path& path);

 private:
  explicit FileLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;
};

}  // namespace vellora::platform
