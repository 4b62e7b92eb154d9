#include <sys/stat.h>

#include "platform/file_stamp.h"

namespace vellora::platform {

std::optional<FileStamp> regular_file_stamp(const char* native_path) {
  struct stat st {};
  if (::lstat(native_path, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileStamp{
      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

bool is_real_directory(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vellora::platform
