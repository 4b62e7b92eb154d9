#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vellora::platform {

// A new file written piece by piece and flushed to the disk by `commit`, so that a rename
// published afterwards never exposes a partial file. Dropped before `commit` (or after a failed
// one), the file is closed and deleted: nothing half-written stays behind.
class DurableWriter {
 public:
  // Creates the file; fails when it exists already.
  static std::expected<DurableWriter, std::string> create(const std::filesystem::path& path);

  DurableWriter(DurableWriter&& other) noexcept;
  DurableWriter& operator=(DurableWriter&&) = delete;
  DurableWriter(const DurableWriter&) = delete;
  ~DurableWriter();

  bool write(std::string_view bytes);
  // Flushes the content to the disk and closes the file, which then stays.
  bool commit();
  const std::filesystem::path& path() const { return path_; }
  // Why the last write or commit failed ("No space left on device").
  const std::string& error() const { return error_; }

 private:
  DurableWriter(std::filesystem::path path, std::intptr_t handle)
      : path_(std::move(path)), handle_(handle) {}
  void close_handle();

  std::filesystem::path path_;
  std::intptr_t handle_;  // a file descriptor, or a Windows HANDLE; -1 once closed
  std::uint64_t written_ = 0;
  std::uint64_t writeback_started_ = 0;  // how much of the file the disk has been asked to take
  bool kept_ = false;
  std::string error_;
};

}  // namespace vellora::platform
