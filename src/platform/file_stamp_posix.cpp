#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_stamp.h"

namespace vellora::platform {

namespace {

std::optional<FileStamp> stamp_at(int directory, const char* path) {
  struct stat st {};
  if (::fstatat(directory, path, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  return FileStamp{
      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

}  // namespace

std::optional<FileStamp> regular_file_stamp(const char* native_path) {
  return stamp_at(AT_FDCWD, native_path);
}

StampReader::StampReader(const std::filesystem::path& directory)
    : directory_(directory),
      descriptor_(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}

StampReader::~StampReader() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::optional<FileStamp> StampReader::regular_file_stamp(const char* relative) const {
  if (descriptor_ < 0) return std::nullopt;
  return stamp_at(descriptor_, relative);
}

bool is_real_directory(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vellora::platform
