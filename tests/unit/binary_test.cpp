// Replacing the agent's executable: the staging copy, the displaced one, the saved previous
// version and the check that a saved version still runs, on both systems.

#include "service/binary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "harness.h"
#include "platform/env.h"
#include "platform/program.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;

std::expected<void, platform::FileError> failing_final_move(const fs::path& from,
                                                            const fs::path& to) {
  if (from.extension() == ".new") return std::unexpected(platform::FileError{"refused"});
  return platform::move_replacing(from, to);
}

// Only the file itself and what the test wrote beside it: no staging or temporary copies.
std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(platform::path_text(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

class Binary : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir() / "lib");
    for (const char* version : {"0.4.15", "0.4.16", "0.4.17"})
      test::write_file(dir() / version, std::string("build ") + version);
  }
  const fs::path& dir() const { return dir_.path(); }
  fs::path target() const { return dir() / "lib/vellora-agent.exe"; }
  test::TempDir dir_;
};

TEST_F(Binary, ReplacesThroughNewAndOld) {
  // No target yet: no "old".
  ASSERT_TRUE(install_binary(dir() / "0.4.15", target()));
  EXPECT_EQ(test::read_text(target()), "build 0.4.15");
  EXPECT_EQ(names_in(dir() / "lib"), std::vector<std::string>{"vellora-agent.exe"});
  if (!platform::on_windows()) {
    EXPECT_TRUE((fs::status(target()).permissions() & fs::perms::owner_exec) != fs::perms::none);
  }
  // A leftover "old" is replaced by the displaced target.
  test::write_file(sibling(target(), "old"), "leftover");
  ASSERT_TRUE(install_binary(dir() / "0.4.16", target()));
  EXPECT_EQ(test::read_text(target()), "build 0.4.16");
  EXPECT_EQ(test::read_text(sibling(target(), "old")), "build 0.4.15");
  EXPECT_EQ(sibling(fs::path("a/vellora-agent.exe"), "prev"), fs::path("a/vellora-agent.prev"));

  const auto missing = install_binary(dir() / "missing", target());
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().starts_with(
      "could not copy to " + platform::path_text(sibling(target(), "new")) + ": cannot read "))
      << missing.error();
  EXPECT_EQ(test::read_text(target()), "build 0.4.16");
}

TEST_F(Binary, TargetComesBackWhenTheLastMoveFails) {
  test::write_file(target(), "running");
  const auto result = install_binary_with(failing_final_move, dir() / "0.4.16", target());
  EXPECT_EQ(result.error(), "could not install to " + platform::path_text(target()) + ": refused");
  EXPECT_EQ(test::read_text(target()), "running");
  EXPECT_FALSE(fs::exists(sibling(target(), "new")));
}

// A failed update used to leave "new" behind, and every later one failed on it ("File exists").
TEST_F(Binary, LeftoverNewIsReplaced) {
  test::write_file(target(), "build 0.4.15");
  test::write_file(sibling(target(), "new"), "half of an earlier download");
  ASSERT_TRUE(install_binary(dir() / "0.4.16", target()));
  EXPECT_EQ(test::read_text(target()), "build 0.4.16");
  EXPECT_FALSE(fs::exists(sibling(target(), "new")));
}

// A virus scanner or backup tool holding the program open: on Windows it cannot be moved aside.
// The update says so, changes nothing and leaves nothing that blocks the next attempt.
TEST_F(Binary, HeldProgramIsReportedAndTheNextAttemptWorks) {
  test::write_file(target(), "build 0.4.15");
  {
    std::ifstream held(target(), std::ios::binary);  // no delete sharing on Windows
    ASSERT_TRUE(held.is_open());
    const auto result = install_binary(dir() / "0.4.16", target());
    if (platform::on_windows()) {
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().starts_with("could not replace " + platform::path_text(target()) +
                                             ": " + std::string(PROGRAM_IN_USE)))
          << result.error();
      EXPECT_EQ(result.error().find("Input/output error"), std::string::npos);
      EXPECT_EQ(result.error().find("%1"), std::string::npos);
      EXPECT_EQ(test::read_text(target()), "build 0.4.15");
      EXPECT_EQ(names_in(dir() / "lib"), std::vector<std::string>{"vellora-agent.exe"});
    } else {
      EXPECT_TRUE(result) << result.error();  // POSIX renames never wait for readers
    }
  }
  ASSERT_TRUE(install_binary(dir() / "0.4.17", target()));
  EXPECT_EQ(test::read_text(target()), "build 0.4.17");
}

// After 0.4.15 -> 0.4.16 -> 0.4.17, "prev" holds 0.4.16: the version replaced last.
TEST_F(Binary, PrevHoldsTheVersionReplacedLast) {
  ASSERT_TRUE(save_previous_version(target()));  // nothing installed yet: nothing saved
  EXPECT_FALSE(fs::exists(sibling(target(), "prev")));
  ASSERT_TRUE(install_binary(dir() / "0.4.15", target()));
  for (const char* next : {"0.4.16", "0.4.17"}) {
    const auto saved = save_previous_version(target());
    ASSERT_TRUE(saved) << saved.error();
    ASSERT_TRUE(install_binary(dir() / next, target()));
  }
  EXPECT_EQ(test::read_text(sibling(target(), "prev")), "build 0.4.16");
  EXPECT_EQ(test::read_text(target()), "build 0.4.17");
  EXPECT_EQ(
      names_in(dir() / "lib"),
      (std::vector<std::string>{"vellora-agent.exe", "vellora-agent.old", "vellora-agent.prev"}));
}

TEST_F(Binary, SaveThatCannotReplacePrevIsReportedAndLeavesNoCopy) {
  test::write_file(target(), "build 0.4.16");
  fs::create_directories(sibling(target(), "prev") / "in-the-way");
  const auto saved = save_previous_version(target());
  ASSERT_FALSE(saved);
  EXPECT_NE(saved.error().find(platform::path_text(sibling(target(), "prev"))), std::string::npos)
      << saved.error();
  EXPECT_EQ(names_in(dir() / "lib"),
            (std::vector<std::string>{"vellora-agent.exe", "vellora-agent.prev"}));
}

// Rollback's check: the saved copy must run and answer as an agent.
TEST_F(Binary, OnlyARunningAgentPassesTheVersionCheck) {
  const fs::path saved = sibling(target(), "prev");
  fs::copy_file(test::agent_binary(), saved);
  const auto whole = agent_version_of(saved, std::chrono::seconds(60));
  ASSERT_TRUE(whole) << whole.error();
  EXPECT_TRUE(whole->starts_with("vellora-agent ")) << *whole;

  // Cut short, as a full disk leaves it.
  const std::string bytes = test::read_text(test::agent_binary());
  test::write_file(saved, std::string_view(bytes).substr(0, 4096));
  (void)platform::make_executable(saved);
  EXPECT_FALSE(agent_version_of(saved, std::chrono::seconds(60)));
  EXPECT_TRUE(fs::exists(saved));  // refused, not deleted
}

}  // namespace
}  // namespace vellora
