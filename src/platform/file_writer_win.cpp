#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/file_writer.h"

namespace vellora::platform {
namespace {

HANDLE as_handle(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

std::string write_error_text(DWORD code) {
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return "No space left on device";
  return "write error " + std::to_string(code);
}

}  // namespace

std::expected<DurableWriter, std::string> DurableWriter::create(const std::filesystem::path& path) {
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return std::unexpected(path.string() + ": cannot create (error " +
                           std::to_string(::GetLastError()) + ")");
  return DurableWriter(path, reinterpret_cast<std::intptr_t>(h));
}

DurableWriter::DurableWriter(DurableWriter&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(other.handle_),
      written_(other.written_),
      writeback_started_(other.writeback_started_),
      kept_(other.kept_),
      error_(std::move(other.error_)) {
  other.handle_ = -1;
  other.kept_ = true;
}

DurableWriter::~DurableWriter() {
  close_handle();
  if (!kept_) ::DeleteFileW(path_.c_str());
}

void DurableWriter::close_handle() {
  if (handle_ != -1) ::CloseHandle(as_handle(handle_));
  handle_ = -1;
}

bool DurableWriter::write(std::string_view bytes) {
  if (handle_ == -1) return false;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(as_handle(handle_), bytes.data(), chunk, &written, nullptr)) {
      error_ = write_error_text(::GetLastError());
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool DurableWriter::commit() {
  if (handle_ == -1) return false;
  const HANDLE h = as_handle(handle_);
  handle_ = -1;
  const bool flushed = ::FlushFileBuffers(h) != 0;
  if (!flushed) error_ = write_error_text(::GetLastError());
  const bool closed = ::CloseHandle(h) != 0;
  kept_ = flushed && closed;
  return kept_;
}

}  // namespace vellora::platform
