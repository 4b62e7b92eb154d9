#include "platform/process.h"

#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "platform/env.h"

namespace vellora {
namespace {

using platform::Command;
using platform::RunOptions;
using test::process_alive;

pid_t wait_for_pid(const std::filesystem::path& file) {
  for (int i = 0; i < 200; ++i) {
    const std::string text = test::read_text(file);
    if (!text.empty() && text.back() == '\n') return std::stoi(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

Command shell(const std::string& script) {
  Command command;
  command.program = "/bin/sh";
  command.args = {"-c", script};
  command.capture_output = true;
  return command;
}

// The same child on either platform: a shell script here, the test helper on Windows.
Command child(const std::string& script, const std::vector<std::string>& helper_args) {
  if (!platform::on_windows()) return shell(script);
  Command command;
  command.program = test::helper_binary();
  command.args = helper_args;
  command.capture_output = true;
  return command;
}

const std::string EOL = platform::on_windows() ? "\r\n" : "\n";

TEST(Process, CapturesBothStreamsExitStatusEnvironmentAndInput) {
  test::TempDir dir;
  test::TempDir bin;
  Command command;
  command.program = test::write_fake(
      bin.path(), "prog",
      {"read line; echo \"$line $GREETING\" in $(pwd); echo oops >&2; exit 3\n",
       "set /p line=\necho %line% %GREETING% in %CD%\n>&2 echo oops\nexit /b 3\n"});
  command.capture_output = true;
  command.env = {{"GREETING", "hello"}};
  command.cwd = dir.path();
  command.input = "from stdin\n";
  const auto result = platform::run(command);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->exit_code, 3);
  EXPECT_FALSE(result->success());
  EXPECT_EQ(result->out, "from stdin hello in " + platform::path_text(dir.path()) + EOL);
  EXPECT_EQ(result->err, "oops" + EOL);
}

TEST(Process, MissingProgramIsAnError) {
  Command command;
  command.program = "/nonexistent/program";
  const auto result = platform::run(command);
  ASSERT_FALSE(result);
  if (!platform::on_windows()) {
    EXPECT_EQ(result.error(), "No such file or directory");
  }
  EXPECT_FALSE(result.error().empty());
  command.program = "no-such-program-anywhere";
  EXPECT_FALSE(platform::run(command));
}

TEST(Process, TimeLimitKillsTheWholeTree) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "grandchild";
  RunOptions options;
  options.time_limit = std::chrono::milliseconds(500);
  const auto result = platform::run(
      child("sleep 1000 & echo $! > '" + pid_file.string() + "'; echo started; sleep 1000",
            {"tree", pid_file.string()}),
      options);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->timed_out);
  EXPECT_FALSE(result->exit_code);
  EXPECT_EQ(result->out, "started\n");
  const pid_t grandchild = wait_for_pid(pid_file);
  ASSERT_GT(grandchild, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(process_alive(grandchild));
}

TEST(Process, NoGrandchildOutlivesANormalExit) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "grandchild";
  const auto started = std::chrono::steady_clock::now();
  const auto result = platform::run(child(
      "sleep 1000 & echo $! > '" + pid_file.string() + "'; exit 0", {"orphan", pid_file.string()}));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->exit_code, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  const pid_t grandchild = wait_for_pid(pid_file);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(process_alive(grandchild));
}

TEST(Process, FloodedOutputKeepsItsEnd) {
  RunOptions options;
  options.output_limit = 1 << 20;
  const auto result =
      platform::run(child("head -c 50000000 /dev/zero; echo END", {"flood"}), options);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->out.size(), options.output_limit);
  EXPECT_TRUE(result->out.ends_with("\nEND\n") ||
              result->out.ends_with(std::string(1, '\0') + "END\n"));
}

TEST(Process, UncontainedChildIsLeftRunningAtTheLimit) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "self";
  Command command =
      child("echo $$ > '" + pid_file.string() + "'; exec sleep 1000", {"self", pid_file.string()});
  command.capture_output = false;
  RunOptions options;
  options.time_limit = std::chrono::milliseconds(300);
  options.contain = false;
  const auto result = platform::run(command, options);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->timed_out);
  const pid_t pid = wait_for_pid(pid_file);
  EXPECT_TRUE(process_alive(pid));
  test::kill_process(pid);
}

}  // namespace
}  // namespace vellora
