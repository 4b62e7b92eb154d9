#pragma once

// POSIX only: a file-size limit on this process stands in for a disk that fills up mid-write.

#include <sys/resource.h>

#include <csignal>

namespace vellora::test {

// While alive, writes beyond `bytes` fail with EFBIG ("File too large") instead of raising
// SIGXFSZ, as writes to a full disk fail with ENOSPC.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*old_handler_)(int);
};

}  // namespace vellora::test
