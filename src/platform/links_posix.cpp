#include <sys/stat.h>
#include <unistd.h>

#include "platform/links.h"

namespace vellora::platform {

bool is_link(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool remove_link(const std::filesystem::path& path) {
  return ::unlink(path.c_str()) == 0;
}

bool read_only_files_protected() {
  return ::geteuid() != 0;
}

}  // namespace vellora::platform
