#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/sandbox.h"

// Landlock: an unprivileged process restricts itself and all it starts to the file trees it
// names; the kernel refuses every other file access, and on newer kernels TCP and signals to
// processes outside. Rights a kernel does not know are left out, so older kernels confine less
// but still confine.

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
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
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
      ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  }
  ::close(fd);
}

}  // namespace

std::optional<std::string> confinement_unavailable() {
  const int abi = landlock_abi();
  if (abi > 0) return std::nullopt;
  if (-abi == ENOSYS) return "this kernel has no Landlock (Linux 5.13 or later has it)";
  if (-abi == EOPNOTSUPP) return "Landlock is switched off in this kernel (see its lsm= setting)";
  return std::string("Landlock cannot be used: ") + std::strerror(-abi);
}

PreparedConfinement::PreparedConfinement(PreparedConfinement&& other) noexcept
    : handle_(other.handle_) {
  other.handle_ = -1;
}

PreparedConfinement& PreparedConfinement::operator=(PreparedConfinement&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(handle_);
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

PreparedConfinement::~PreparedConfinement() {
  if (handle_ >= 0) ::close(handle_);
}

int PreparedConfinement::apply() const noexcept {
  if (handle_ < 0) return 0;
  // Required of an unprivileged process, and keeps set-user-id programs from lifting the rules.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (::syscall(SYS_landlock_restrict_self, handle_, 0) != 0) return errno;
  return 0;
}

std::expected<PreparedConfinement, std::string> prepare_confinement(
    const Confinement& confinement) {
  const int abi = landlock_abi();
  if (abi <= 0) return PreparedConfinement();
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
  const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, size, 0);
  if (ruleset < 0)
    return std::unexpected(std::string("cannot build the sandbox: ") + std::strerror(errno));
  PreparedConfinement prepared(static_cast<int>(ruleset));
  for (const auto& path : confinement.read_only)
    add_rule(static_cast<int>(ruleset), path, READ_RIGHTS, attr.handled_access_fs);
  for (const auto& path : confinement.writable)
    add_rule(static_cast<int>(ruleset), path, WRITE_RIGHTS, attr.handled_access_fs);
  return prepared;
}

}  // namespace vellora::platform
