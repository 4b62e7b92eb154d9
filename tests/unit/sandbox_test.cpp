// The confinement of child processes, with real processes and the real kernel feature (Linux
// only: elsewhere there is nothing to confine with).
#if defined(__linux__)
#include "platform/sandbox.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "compile/confinement.h"
#include "harness.h"
#include "platform/process.h"
#include "platform/syscall_filter.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::write_file;

platform::RunResult run_confined(const std::string& script, const platform::Confinement& rules) {
  platform::Command command;
  command.program = "/bin/sh";
  command.args = {"-c", script};
  command.capture_output = true;
  command.confinement = rules;
  auto result = platform::run(command);
  EXPECT_TRUE(result) << (result ? "" : result.error());
  return result ? *result : platform::RunResult{};
}

TEST(Sandbox, ConfinedChildReachesOnlyWhatItIsGiven) {
  if (auto why = platform::confinement_unavailable()) GTEST_SKIP() << *why;
  test::TempDir dir;
  const fs::path work = dir.path() / "work", secret = dir.path() / "secret.txt";
  const fs::path outside = dir.path() / "outside";
  write_file(secret, "s3cret");
  write_file(outside / "victim", "keep");
  fs::create_directories(work);
  platform::Confinement rules;
  rules.read_only = {"/usr", "/bin", "/lib", "/lib64", "/etc"};
  rules.writable = {work, "/dev/null"};

  const std::string s = secret.string(), o = outside.string(), w = work.string();
  const auto result = run_confined(
      "cat " + s + "; echo x > " + o + "/new; rm -f " + o + "/victim; mkdir " + o + "/d; ln -s " +
          s + " " + w + "/link; ln " + s + " " + w + "/hard; echo ok > " + w + "/made && cat " + w +
          "/made; echo quiet > /dev/null && echo null",
      rules);
  EXPECT_EQ(result.out, "ok\nnull\n");
  EXPECT_EQ(read_text(outside / "victim"), "keep");
  EXPECT_FALSE(fs::exists(outside / "new"));
  EXPECT_FALSE(fs::exists(outside / "d"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(work / "link")));
  EXPECT_FALSE(fs::exists(work / "hard"));
  EXPECT_EQ(read_text(work / "made"), "ok\n");
}

TEST(Sandbox, UnconfinedChildIsUnchanged) {
  test::TempDir dir;
  write_file(dir.path() / "f", "free");
  platform::Command command;
  command.program = "/bin/cat";
  command.args = {(dir.path() / "f").string()};
  command.capture_output = true;
  EXPECT_EQ(platform::run(command)->out, "free");
}

TEST(Sandbox, AgentDirectoriesNeverReachAnEngine) {
  const fs::path config = "/home/u/.config/vellora-agent", cache = "/home/u/.cache/vellora-agent";
  const std::vector<fs::path> kept = without_agent_dirs(
      {"/usr", "/home/u/.fonts", "/home/u/.cache/fontconfig", "/opt/texlive"}, config, cache);
  EXPECT_EQ(kept, (std::vector<fs::path>{"/usr", "/home/u/.fonts", "/home/u/.cache/fontconfig",
                                         "/opt/texlive"}));
  for (const char* dropped :
       {"/", "/home", "/home/u", "/home/u/.cache", "/home/u/.config/",
        "/home/u/.cache/vellora-agent/work/other", "relative/dir", "/home/u/.config/vellora-agent"})
    EXPECT_TRUE(without_agent_dirs({dropped}, config, cache).empty()) << dropped;
}

}  // namespace
}  // namespace vellora

namespace vellora {
namespace {

// Landlock's version 4 (Linux 6.7) added TCP rules.
bool kernel_confines_tcp() {
  return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) >= 4;
}

TEST(Sandbox, ConfinedChildOpensNoTcpConnectionUnlessAllowed) {
  if (!kernel_confines_tcp()) GTEST_SKIP() << "this kernel has no Landlock TCP rules";
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor listener(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(listener.local_endpoint().port());
  platform::Confinement rules;
  rules.read_only = {"/usr", "/bin", "/lib", "/lib64", "/etc"};
  for (const bool network : {false, true}) {
    rules.network = network;
    platform::Command command;
    command.program = "/bin/bash";
    command.args = {"-c", "echo hi > /dev/tcp/127.0.0.1/" + port + " && echo connected"};
    command.capture_output = true;
    command.confinement = rules;
    EXPECT_EQ(platform::run(command)->out, network ? "connected\n" : "") << network;
  }
}

// What Landlock does not cover, tried by a confined program as a hostile document's native code
// would: each call must fail with the error the filter gives, not merely with another reason.
TEST(Sandbox, ConfinedRunCannotMakeRefusedSystemCalls) {
  if (!platform::syscall_filter_available()) GTEST_SKIP() << "this kernel has no seccomp filters";
  test::TempDir dir;
  const fs::path work = dir.path() / "work";
  write_file(work / "mine.txt", "x");
  const std::string script = R"(
import ctypes, errno, fcntl, os, socket, sys, termios
libc = ctypes.CDLL(None, use_errno=True)
def call(name, f):
    try:
        r = f()
        if isinstance(r, int) and r < 0:
            print(name, errno.errorcode.get(ctypes.get_errno(), "?"))
        else:
            print(name, "allowed")
    except OSError as e:
        print(name, errno.errorcode.get(e.errno, "?"))
    except Exception as e:
        print(name, type(e).__name__)
call("unix", lambda: socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
call("udp", lambda: socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
call("raw", lambda: socket.socket(socket.AF_INET, socket.SOCK_RAW, 1))
call("netlink", lambda: socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0))
call("tcp6-dgram", lambda: socket.socket(socket.AF_INET6, socket.SOCK_DGRAM))
call("chmod", lambda: os.chmod("mine.txt", 0o777))
call("fchmod", lambda: os.fchmod(os.open("mine.txt", os.O_RDONLY), 0o777))
call("chown", lambda: os.chown("mine.txt", os.getuid(), os.getgid()))
call("memfd", lambda: os.memfd_create("code"))
call("tiocsti", lambda: fcntl.ioctl(1, termios.TIOCSTI, b"x"))
call("tiocsti-high", lambda: libc.ioctl(1, ctypes.c_ulong((1 << 32) | termios.TIOCSTI), b"x"))
call("unshare", lambda: libc.unshare(0x10000000))
call("ptrace", lambda: libc.ptrace(0, 0, 0, 0))
call("keyctl", lambda: libc.syscall(250, 0, 0, 0, 0))
call("personality", lambda: libc.personality(0x0040000))
call("mount", lambda: libc.mount(b"none", b"/tmp", b"tmpfs", 0, None))
call("session", lambda: 0 if os.getsid(0) != int(sys.argv[1]) else -1)
call("tty", lambda: open("/dev/tty"))
call("shadow", lambda: open("/etc/shadow").read())
call("agent-environ", lambda: open("/proc/%s/environ" % sys.argv[2]).read())
)";
  write_file(work / "probe.py", script);
  platform::Command command;
  command.program = "/usr/bin/python3";
  command.args = {"probe.py", std::to_string(::getsid(0)), std::to_string(::getpid())};
  command.cwd = work;
  command.capture_output = true;
  command.confinement = engine_confinement("agent-pdflatex", work, {});
  const auto result = platform::run(command);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->out,
            "unix EACCES\nudp EACCES\nraw EACCES\nnetlink EACCES\ntcp6-dgram EACCES\n"
            "chmod EPERM\nfchmod EPERM\nchown EPERM\nmemfd EPERM\ntiocsti EPERM\n"
            "tiocsti-high EPERM\nunshare EPERM\nptrace EPERM\nkeyctl EPERM\n"
            "personality EPERM\nmount EPERM\nsession allowed\ntty EACCES\nshadow EACCES\n"
            "agent-environ EACCES\n")
      << result->err;
  EXPECT_EQ(fs::status(work / "mine.txt").permissions() & fs::perms::others_write, fs::perms::none);
}

// Tectonic keeps TCP for its bundle, and nothing else.
TEST(Sandbox, NetworkRunKeepsTcpAlone) {
  if (!platform::syscall_filter_available()) GTEST_SKIP() << "this kernel has no seccomp filters";
  platform::Confinement rules;
  rules.read_only = {"/usr", "/bin", "/lib", "/lib64"};
  rules.network = true;
  platform::Command command;
  command.program = "/usr/bin/python3";
  command.args = {"-c",
                  "import socket\nfor f, t in ((socket.AF_INET, socket.SOCK_STREAM), "
                  "(socket.AF_INET6, socket.SOCK_STREAM), (socket.AF_INET, socket.SOCK_DGRAM), "
                  "(socket.AF_UNIX, socket.SOCK_STREAM)):\n"
                  "  try: socket.socket(f, t); print('ok')\n"
                  "  except OSError: print('refused')\n"};
  command.capture_output = true;
  command.confinement = rules;
  const auto result = platform::run(command);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->out, "ok\nok\nrefused\nrefused\n") << result->err;
}

// A run that allocates more than its limit fails inside the run; the machine is not exhausted.
TEST(Sandbox, MemoryLimitStopsARunThatAllocatesTooMuch) {
  platform::Confinement rules;
  rules.read_only = {"/usr", "/bin", "/lib", "/lib64"};
  rules.memory_limit = std::uint64_t{256} << 20;
  platform::Command command;
  command.program = "/usr/bin/python3";
  command.args = {"-c", "x = bytearray(1 << 30)\nprint('allocated')"};
  command.capture_output = true;
  command.confinement = rules;
  const auto result = platform::run(command);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->out, "");
  EXPECT_NE(result->err.find("MemoryError"), std::string::npos) << result->err;
}

// A run that starts process after process is stopped near its limit. The kernel never limits
// root's processes, so as root the test runs it as an unprivileged user.
TEST(Sandbox, ProcessLimitStopsAForkingRun) {
  const auto forks_made = [] {
    platform::Confinement rules;
    rules.read_only = {"/usr", "/bin", "/lib", "/lib64"};
    rules.process_limit = 20;
    platform::Command command;
    command.program = "/usr/bin/python3";
    command.args = {"-c",
                    "import os, time\nn = 0\ntry:\n  while n < 300:\n    if os.fork() == 0:\n"
                    "      time.sleep(5)\n      os._exit(0)\n    n += 1\nexcept OSError:\n  pass\n"
                    "print(n)\n"};
    command.capture_output = true;
    command.confinement = rules;
    const auto result = platform::run(command);
    return result && !result->out.empty() ? std::stoi(result->out) : 999;
  };
  if (::geteuid() != 0) {
    EXPECT_LT(forks_made(), 100);
    return;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool unprivileged =
        ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(!unprivileged ? 2 : forks_made() < 100 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vellora

#endif  // __linux__
