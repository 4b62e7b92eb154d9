#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_writer.h"

namespace vellora::platform {

std::expected<DurableWriter, std::string> DurableWriter::create(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(path.string() + ": " + std::strerror(errno));
  return DurableWriter(path, fd);
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
  if (!kept_) ::unlink(path_.c_str());
}

void DurableWriter::close_handle() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool DurableWriter::write(std::string_view bytes) {
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    written_ += static_cast<std::uint64_t>(n);
  }
#ifdef __linux__
  // Asks the disk to start taking what has been written, without waiting for it: the writing
  // then overlaps the rest of the upload and the flush in `commit` has little left to wait for.
  constexpr std::uint64_t WRITEBACK_STEP = std::uint64_t{8} << 20;
  if (written_ - writeback_started_ >= WRITEBACK_STEP) {
    ::sync_file_range(fd, static_cast<off_t>(writeback_started_),
                      static_cast<off_t>(written_ - writeback_started_), SYNC_FILE_RANGE_WRITE);
    writeback_started_ = written_;
  }
#endif
  return true;
}

bool DurableWriter::commit() {
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  const bool synced = ::fsync(fd) == 0;
  if (!synced) error_ = std::strerror(errno);
  const bool closed = ::close(fd) == 0;
  if (synced && !closed) error_ = std::strerror(errno);
  kept_ = synced && closed;
  return kept_;
}

}  // namespace vellora::platform
