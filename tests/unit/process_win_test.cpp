// Windows only: what cmd.exe makes of the arguments of a batch program.

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/env.h"
#include "platform/process.h"

namespace vellora {
namespace {

// Like TeX Live's tlmgr.bat: hands its arguments (%*) on to a real program, which records them.
class BatchArguments : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(test::helper_binary(), dir_.path() / "test_helper.exe");
    test::write_batch(dir_.path() / "forward.bat",
                      "\"%~dp0test_helper.exe\" record \"%~dp0args.txt\" %*\n");
  }
  std::expected<platform::RunResult, std::string> run(const std::vector<std::string>& args) {
    std::filesystem::remove(recorded());
    platform::Command command;
    command.program = dir_.path() / "forward.bat";
    command.args = args;
    command.cwd = dir_.path();
    command.capture_output = true;
    return platform::run(command);
  }
  std::filesystem::path recorded() const { return dir_.path() / "args.txt"; }
  test::TempDir dir_;
};

TEST_F(BatchArguments, ArriveByteExactAndNothingRuns) {
  const std::vector<std::string> args = {"a&ver&b.tex",
                                         "p^q.tex",
                                         "a&echo x>pwned&b",
                                         "a|b",
                                         "(x)",
                                         "<in>",
                                         "a b",
                                         "tab\there",
                                         "trailing\\",
                                         "C:\\dir with space\\",
                                         "",
                                         "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.tex",
                                         "^^",
                                         "a^&b"};
  const auto result = run(args);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->exit_code, 0) << result->out << result->err;
  std::string expected;
  for (const auto& arg : args) expected += "[" + arg + "]";
  EXPECT_EQ(test::read_text(recorded()), expected);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "pwned"));
  EXPECT_EQ(result->out.find("Windows"), std::string::npos) << result->out;  // `ver` never ran
}

TEST_F(BatchArguments, WhatCmdWouldExpandIsRefused) {
  for (const std::string arg : {"x%OS%y.tex", "50%", "a!b", "q\"uote", "line\nbreak", "cr\rx"}) {
    const auto result = run({"fine.tex", arg});
    ASSERT_FALSE(result) << arg;
    EXPECT_NE(result.error().find("forward.bat"), std::string::npos) << result.error();
    EXPECT_FALSE(std::filesystem::exists(recorded())) << arg;
  }
}

TEST_F(BatchArguments, ProgramsThatAreNotBatchFilesTakeAnything) {
  platform::Command command;
  command.program = dir_.path() / "test_helper.exe";
  command.args = {"record", platform::path_text(recorded()), "x%OS%y", "a!b", "q\"uote", "a&b"};
  const auto result = platform::run(command);
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(test::read_text(recorded()), "[x%OS%y][a!b][q\"uote][a&b]");
}

}  // namespace
}  // namespace vellora
