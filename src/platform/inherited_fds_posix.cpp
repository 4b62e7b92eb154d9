#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/inherited_fds.h"

namespace vellora::platform {

// close_range() does it at once from Linux 5.11; older kernels, where it is missing or
// lacks the flag, get each open descriptor listed from /proc, or every number up to the limit.
void close_on_exec_from(int first) {
  constexpr unsigned CLOEXEC_FLAG = 1U << 2;  // CLOSE_RANGE_CLOEXEC
  if (::syscall(__NR_close_range, static_cast<unsigned>(first), ~0U, CLOEXEC_FLAG) == 0) return;
  const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    alignas(8) char buffer[4096];
    long n = 0;
    while ((n = ::syscall(__NR_getdents64, dir, buffer, sizeof buffer)) > 0) {
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
        at += entry->d_reclen;
        int fd = 0;
        const char* c = entry->d_name;
        for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
        if (*c == '\0' && c != entry->d_name && fd >= first && fd != dir)
          ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    ::close(dir);
    if (n == 0) return;
  }
  struct rlimit limit {};
  const int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < (1U << 20)
                       ? static_cast<int>(limit.rlim_cur)
                       : 1 << 20;
  for (int fd = first; fd < last; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace vellora::platform
