#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/sandbox.h"
#include "platform/syscall_filter.h"

// Landlock: an unprivileged process restricts itself and all it starts to the file trees it
// names; the kernel refuses every other file access, and on newer kernels TCP and signals to
// processes outside. Rights a kernel does not know are left out, so older kernels confine less
// but still confine. A seccomp filter refuses what Landlock does not cover (other sockets, file
// modes, terminals, namespaces); resource limits bound memory and processes; a run started by
// root gives up every capability, so it cannot read other processes' memory or environment.

namespace vellora::platform {
namespace {

// Rights newer than some distributions' headers.
constexpr std::uint64_t FS_REFER = 1ULL << 13;     // ABI 2
constexpr std::uint64_t FS_TRUNCATE = 1ULL << 14;  // ABI 3
constexpr std::uint64_t NET_BIND_TCP = 1ULL << 0;  // ABI 4
constexpr std::uint64_t NET_CONNECT_TCP = 1ULL << 1;
constexpr std::uint64_t SCOPE_ABSTRACT_UNIX_SOCKET = 1ULL << 0;  // ABI 6
constexpr std::uint64_t SCOPE_SIGNAL = 1ULL << 1;

// The kernel's ruleset attribute as of ABI 6; older kernels are given only its first fields.
struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

constexpr std::uint64_t READ_RIGHTS =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// Writing trees: ordinary files and folders only; no programs run from there, no links, devices,
// pipes or sockets made there.
constexpr std::uint64_t WRITE_RIGHTS =
    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_WRITE_FILE |
    LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
    LANDLOCK_ACCESS_FS_MAKE_REG | FS_REFER | FS_TRUNCATE;
// The rights that mean something for a single file.
constexpr std::uint64_t FILE_RIGHTS = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE |
                                      LANDLOCK_ACCESS_FS_WRITE_FILE | FS_TRUNCATE;

int landlock_abi() {
  static const int abi = [] {
    const long v =
        ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return v < 0 ? -errno : static_cast<int>(v);
  }();
  return abi;
}

std::uint64_t handled_fs(int abi) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: bits 0 to 12
  if (abi >= 2) rights |= FS_REFER;
  if (abi >= 3) rights |= FS_TRUNCATE;
  return rights;
}

// Adds one rule; a path that does not exist (or cannot be opened) is simply not allowed.
void add_rule(int ruleset, const std::filesystem::path& path, std::uint64_t rights,
              std::uint64_t handled) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    if (!S_ISDIR(st.st_mode)) rights &= FILE_RIGHTS;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled;
    rule.parent_fd = fd;
    if (rule.allowed_access != 0)
      ::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  }
  ::close(fd);
}

}  // namespace

std::optional<std::string> confinement_unavailable() {
  const int abi = landlock_abi();
  std::string missing;
  if (-abi == ENOSYS)
    missing = "this kernel has no Landlock (Linux 5.13 or later has it)";
  else if (-abi == EOPNOTSUPP)
    missing = "Landlock is switched off in this kernel (see its lsm= setting)";
  else if (abi <= 0)
    missing = std::string("Landlock cannot be used: ") + std::strerror(-abi);
  if (!syscall_filter_available())
    missing += std::string(missing.empty() ? "" : "; ") +
               "this kernel has no seccomp filters, so sockets, file modes and terminals are not "
               "kept from compiles";
  if (missing.empty()) return std::nullopt;
  return missing;
}

PreparedConfinement::PreparedConfinement(PreparedConfinement&& other) noexcept
    : extra(std::move(other.extra)), handle_(other.handle_) {
  other.handle_ = -1;
}

PreparedConfinement& PreparedConfinement::operator=(PreparedConfinement&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(handle_);
    handle_ = other.handle_;
    other.handle_ = -1;
    extra = std::move(other.extra);
  }
  return *this;
}

PreparedConfinement::~PreparedConfinement() {
  if (handle_ >= 0) ::close(handle_);
}

namespace {

int set_limit(int resource, std::uint64_t value) {
  if (value == 0) return 0;
  const rlimit limit{value, value};
  return ::setrlimit(resource, &limit) == 0 ? 0 : errno;
}

// Root keeps its user id but loses every capability for good, also across exec.
int drop_capabilities() {
  for (unsigned long cap = 0; cap <= 63; ++cap)
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return errno;
  if (::prctl(PR_SET_SECUREBITS,
              SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                  SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED,
              0, 0, 0) != 0)
    return errno;
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
    return errno;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

// Processes of this user now: the process limit counts them all, so a run's share comes on top.
std::uint64_t processes_of_user() {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  const uid_t uid = ::getuid();
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    struct stat st {};
    if (::fstatat(::dirfd(proc), entry->d_name, &st, 0) == 0 && st.st_uid == uid) ++count;
  }
  ::closedir(proc);
  return count;
}

}  // namespace

int PreparedConfinement::apply() const noexcept {
  if (int e = set_limit(RLIMIT_AS, extra.memory_limit); e != 0) return e;
  if (int e = set_limit(RLIMIT_NPROC, extra.process_limit); e != 0) return e;
  if (extra.drop_capabilities)
    if (int e = drop_capabilities(); e != 0) return e;
  if (handle_ < 0 && extra.syscall_filter.empty()) return 0;
  // Required of an unprivileged process, and keeps set-user-id programs from lifting the rules.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (handle_ >= 0 && ::syscall(__NR_landlock_restrict_self, handle_, 0) != 0) return errno;
  return install_syscall_filter(extra.syscall_filter);
}

namespace {

PreparedConfinement::Extra prepare_extra(const Confinement& confinement) {
  PreparedConfinement::Extra extra;
  if (syscall_filter_available())
    extra.syscall_filter = confined_syscall_filter(confinement.network);
  extra.memory_limit = confinement.memory_limit.value_or(0);
  if (confinement.process_limit)
    extra.process_limit = processes_of_user() + *confinement.process_limit;
  extra.drop_capabilities = ::geteuid() == 0;
  return extra;
}

}  // namespace

std::expected<PreparedConfinement, std::string> prepare_confinement(
    const Confinement& confinement) {
  const int abi = landlock_abi();
  if (abi <= 0) {
    PreparedConfinement prepared;
    prepared.extra = prepare_extra(confinement);
    return prepared;
  }
  RulesetAttr attr{};
  std::size_t size = sizeof attr.handled_access_fs;
  attr.handled_access_fs = handled_fs(abi);
  if (abi >= 4) {
    size = offsetof(RulesetAttr, scoped);
    if (!confinement.network) attr.handled_access_net = NET_BIND_TCP | NET_CONNECT_TCP;
  }
  if (abi >= 6) {
    size = sizeof attr;
    attr.scoped = SCOPE_ABSTRACT_UNIX_SOCKET | SCOPE_SIGNAL;
  }
  const long ruleset = ::syscall(__NR_landlock_create_ruleset, &attr, size, 0);
  if (ruleset < 0)
    return std::unexpected(std::string("cannot build the sandbox: ") + std::strerror(errno));
  PreparedConfinement prepared(static_cast<int>(ruleset));
  prepared.extra = prepare_extra(confinement);
  for (const auto& path : confinement.read_only)
    add_rule(static_cast<int>(ruleset), path, READ_RIGHTS, attr.handled_access_fs);
  for (const auto& path : confinement.writable)
    add_rule(static_cast<int>(ruleset), path, WRITE_RIGHTS, attr.handled_access_fs);
  return prepared;
}

}  // namespace vellora::platform
