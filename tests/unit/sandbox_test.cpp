// The confinement of child processes, with real processes and the real kernel feature (Linux
// only: elsewhere there is nothing to confine with).
#if defined(__linux__)
#include "platform/sandbox.h"

#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "compile/confinement.h"
#include "harness.h"
#include "platform/process.h"

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

}  // namespace
}  // namespace vellora

#endif  // __linux__
