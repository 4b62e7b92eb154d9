#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/env.h"
#include "platform/files.h"

namespace vellora::platform {
namespace {

std::string failure(const char* what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path_text(path) + ": " + std::strerror(error);
}

}  // namespace

std::expected<void, std::string> write_file_durable(const std::filesystem::path& path,
                                                    std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(failure("cannot create", path, errno));
  int error = 0;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) return std::unexpected(failure("cannot write", path, error));
  return {};
}

std::expected<void, FileError> copy_to_new_file(const std::filesystem::path& from,
                                                const std::filesystem::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return std::unexpected(FileError{failure("cannot read", from, errno)});
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return std::unexpected(FileError{failure("cannot create", to, error)});
  }
  std::string failed;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = failure("cannot read", from, errno);
      break;
    }
    if (n == 0) break;
    std::string_view rest(buffer, static_cast<std::size_t>(n));
    while (!rest.empty() && failed.empty()) {
      const ssize_t w = ::write(out, rest.data(), rest.size());
      if (w < 0 && errno == EINTR) continue;
      if (w < 0)
        failed = failure("cannot write", to, errno);
      else
        rest.remove_prefix(static_cast<std::size_t>(w));
    }
    if (!failed.empty()) break;
  }
  if (failed.empty() && ::fsync(out) != 0) failed = failure("cannot write", to, errno);
  if (::close(out) != 0 && failed.empty()) failed = failure("cannot write", to, errno);
  ::close(in);
  if (failed.empty()) return {};
  ::unlink(to.c_str());
  return std::unexpected(FileError{failed});
}

std::expected<void, FileError> move_replacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  if (auto moved = replace_file(from, to); !moved) return std::unexpected(FileError{moved.error()});
  return {};
}

std::expected<void, std::string> replace_file(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    return std::unexpected(failure("cannot replace", to, errno));
  // The rename itself reaches the disk with the directory.
  const auto dir = to.has_parent_path() ? to.parent_path() : std::filesystem::path(".");
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return {};
}

void make_read_only(const std::filesystem::path& path) {
  ::chmod(path.c_str(), 0444);
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing releases the lock
}

std::expected<FileLock, std::string> FileLock::acquire(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(failure("cannot open the lock file", path, errno));
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return std::unexpected(failure("cannot lock", path, error));
  }
  return FileLock(fd);
}

namespace {

// The rest of `in` into `out` by the kernel where it can, by reads and writes otherwise.
bool copy_contents(int in, int out) {
  while (true) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

std::expected<void, std::string> clone_or_copy(const std::filesystem::path& from,
                                               const std::filesystem::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return std::unexpected(std::string(std::strerror(errno)));
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    return std::unexpected(std::string(std::strerror(e)));
  }
  const bool done = ::ioctl(out, FICLONE, in) == 0 || copy_contents(in, out);
  const int e = errno;
  ::close(in);
  if (::close(out) != 0 || !done) {
    ::unlink(to.c_str());
    return std::unexpected(std::string(std::strerror(done ? errno : e)));
  }
  return {};
}

}  // namespace vellora::platform
