// Windows only: what cmd.exe makes of the arguments of a batch program.

#include <gtest/gtest.h>
#include <windows.h>

#include <boost/asio/ip/tcp.hpp>
#include <thread>

#include "harness.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/socket.h"

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

// Only the standard streams reach a child: another inheritable handle of the agent (here a file
// opened without sharing) stays with the agent, even while the child runs on.
TEST(ProcessWindows, ChildInheritsOnlyItsStreams) {
  test::TempDir dir;
  const auto held = dir.path() / "held.txt";
  const auto pid_file = dir.path() / "child.pid";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileW(held.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  platform::Command command;
  command.program = test::helper_binary();
  command.args = {"self", platform::path_text(pid_file)};
  platform::Cancellation cancellation;
  platform::RunOptions options;
  options.cancellation = &cancellation;
  options.time_limit = std::chrono::seconds(120);
  std::thread runner([&] { (void)platform::run(command, options); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(pid_file) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  CloseHandle(file);
  HANDLE again = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  cancellation.cancel();
  runner.join();
  EXPECT_TRUE(std::filesystem::exists(pid_file));
  EXPECT_NE(again, INVALID_HANDLE_VALUE)
      << "the child still holds the file (error " << error << ")";
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

bool inheritable(SOCKET socket) {
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
}

TEST(ProcessWindows, ListeningAndAcceptedSocketsAreNotInheritable) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(boost::asio::ip::tcp::v4());
  platform::set_listen_options(acceptor);
  acceptor.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
  acceptor.listen();
  EXPECT_FALSE(inheritable(acceptor.native_handle()));
  boost::asio::ip::tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  boost::asio::ip::tcp::socket accepted(io);
  acceptor.accept(accepted);
  platform::keep_from_children(accepted);
  EXPECT_FALSE(inheritable(accepted.native_handle()));
}

}  // namespace
}  // namespace vellora
