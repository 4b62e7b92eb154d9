// Linked into the portable Linux executable only, which is linked against glibc 2.31 (Debian 11,
// Ubuntu 20.04) while the C++ runtime linked into it was built against a newer glibc. The three
// things that runtime takes from glibc 2.32 to 2.36 are given here, each as glibc defines it.

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" {

// glibc 2.32 keeps this at 1 while the process has one thread, so that reference counts may skip
// atomic instructions. Here it always says "maybe several threads": every count stays atomic,
// which is always correct.
char __libc_single_threaded = 0;

// glibc 2.36: std::random_device's default source. Cryptographically random, never failing.
std::uint32_t arc4random() {
  std::uint32_t value = 0;
  for (;;) {
    const ssize_t n = ::getrandom(&value, sizeof value, 0);
    if (n == static_cast<ssize_t>(sizeof value)) return value;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  // Kernels before 3.17 have no getrandom.
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
    ::close(fd);
    return value;
  }
  std::abort();
}

// glibc 2.35: how the unwinder (libgcc_eh) finds the exception tables of the object holding an
// address. It relies on it alone, so it must answer correctly: the answer is found the way the
// unwinder did before 2.35, by walking the loaded objects' program headers. The layout is
// glibc's for x86-64.
struct dl_find_object {
  unsigned long long dlfo_flags;
  void* dlfo_map_start;
  void* dlfo_map_end;
  struct link_map* dlfo_link_map;
  void* dlfo_eh_frame;
  unsigned long long __dlfo_reserved[7];
};

namespace {

struct FindRequest {
  std::uintptr_t pc;
  dl_find_object* result;
  bool found;
};

int find_object(dl_phdr_info* info, std::size_t, void* data) {
  auto* request = static_cast<FindRequest*>(data);
  std::uintptr_t start = UINTPTR_MAX, end = 0;
  bool holds_pc = false;
  const void* eh_frame = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD) {
      if (begin < start) start = begin;
      if (begin + segment.p_memsz > end) end = begin + segment.p_memsz;
      if (request->pc >= begin && request->pc < begin + segment.p_memsz) holds_pc = true;
    } else if (segment.p_type == PT_GNU_EH_FRAME) {
      eh_frame = reinterpret_cast<const void*>(begin);
    }
  }
  if (!holds_pc) return 0;
  *request->result = dl_find_object{};
  request->result->dlfo_map_start = reinterpret_cast<void*>(start);
  request->result->dlfo_map_end = reinterpret_cast<void*>(end);
  request->result->dlfo_eh_frame = const_cast<void*>(eh_frame);
  request->found = true;
  return 1;
}

}  // namespace

int _dl_find_object(void* pc, dl_find_object* result) {
  FindRequest request{reinterpret_cast<std::uintptr_t>(pc), result, false};
  ::dl_iterate_phdr(find_object, &request);
  return request.found ? 0 : -1;
}

}  // extern "C"
