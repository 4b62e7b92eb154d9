// Stopping runs from another thread (POSIX shell children), the per-thread scope a compile uses, and
// the query reading of /v1/progress.

#include <gtest/gtest.h>

#include <thread>

#include "compile/running_endpoints.h"
#include "harness.h"
#include "platform/process.h"

namespace vellora {
namespace {

using platform::Cancellation;
using platform::Command;
using platform::RunOptions;
using platform::ThreadRuns;
using test::process_alive;

Command shell(const std::string& script) {
  Command command;
  command.program = "/bin/sh";
  command.args = {"-c", script};
  command.capture_output = true;
  return command;
}

pid_t wait_for_pid(const std::filesystem::path& file) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = test::read_text(file);
    if (!text.empty() && text.back() == '\n') return std::stoi(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(Cancellation, KillsTheWholeTreeOfTheRunningChildAtOnce) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "grandchild";
  Cancellation cancellation;
  std::thread canceller([&] {
    wait_for_pid(pid_file);
    cancellation.cancel();
  });
  RunOptions options;
  options.cancellation = &cancellation;
  options.contain = false;  // a cancellation kills the tree all the same
  const auto started = std::chrono::steady_clock::now();
  const auto result = platform::run(
      // "started" is written before the pid that lets the cancel come.
      shell("sleep 1000 & echo started; echo $! > '" + pid_file.string() + "'; sleep 1000"),
      options);
  canceller.join();
  ASSERT_TRUE(result);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(result->cancelled);
  EXPECT_FALSE(result->timed_out);
  EXPECT_FALSE(result->exit_code);
  EXPECT_EQ(result->out, "started\n");
  const pid_t grandchild = wait_for_pid(pid_file);
  ASSERT_GT(grandchild, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(process_alive(grandchild));
}

TEST(Cancellation, ThreadScopeStopsContainedRunsAndReportsTheirStart) {
  test::TempDir dir;
  auto cancellation = std::make_shared<Cancellation>();
  std::vector<std::string> started;
  {
    ThreadRuns scope(cancellation, [&](const Command& c) { started.push_back(c.args.at(1)); });
    const auto finished = platform::run(shell("exit 4"));
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->exit_code, 4);
    EXPECT_FALSE(finished->cancelled);

    cancellation->cancel();
    cancellation->cancel();
    const auto refused = platform::run(shell("touch '" + (dir.path() / "ran").string() + "'"));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->cancelled);
    EXPECT_FALSE(refused->exit_code);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "ran"));

    // Left-running (uncontained) children are not the scope's: they still run, unreported.
    RunOptions uncontained;
    uncontained.contain = false;
    const auto other = platform::run(shell("echo other"), uncontained);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->out, "other\n");
  }
  EXPECT_EQ(started, std::vector<std::string>{"exit 4"});
  // Outside the scope nothing is cancelled.
  const auto after = platform::run(shell("exit 0"));
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->success());
}

TEST(ProgressQuery, ParameterIsFoundAndDecoded) {
  struct Case {
    std::string query;
    std::optional<std::string> project;
  };
  const std::vector<Case> cases = {
      {"project=abc", "abc"},
      {"a=1&project=x-y&b=2", "x-y"},
      {"project=a%2Db%2e", "a-b."},
      {"projects=a", std::nullopt},
      {"", std::nullopt},
      {"project", ""},
      {"project=%", std::nullopt},
      {"project=%4", std::nullopt},
      {"project=%zz", std::nullopt},
      {"project=a&project=b", "a"},
  };
  for (const Case& c : cases) EXPECT_EQ(query_parameter(c.query, "project"), c.project) << c.query;
}

}  // namespace
}  // namespace vellora
