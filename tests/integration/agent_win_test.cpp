// Windows only: the agent's port is its own.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <thread>

#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

// On Windows SO_REUSEADDR lets a second socket bind a port that is already listening, unless the
// first holds it exclusively. Wine follows Linux here and refuses either way.
TEST(AgentModeWindows, PortCannotBeTakenWithReuseAddress) {
  Agent agent;
  ASSERT_TRUE(agent.start());
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor thief(io);
  thief.open(boost::asio::ip::tcp::v4());
  thief.set_option(boost::asio::socket_base::reuse_address(true));
  boost::system::error_code ec;
  thief.bind({boost::asio::ip::make_address("127.0.0.1"), agent.port()}, ec);
  EXPECT_TRUE(ec) << "a second socket bound the agent's port";
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
}

// A program the agent starts and that outlives it (clip serving the clipboard) used to inherit the
// listening socket, so the next agent could not bind the port.
TEST(AgentModeWindows, ProgramsItStartsDoNotKeepThePort) {
  Agent first;
  first.set_env("VELLORA_SYSTEM_PROGRAMS", platform::path_text(first.bin()));
  first.set_env("FAKE_CLIP", "linger");
  fs::copy_file(helper_binary(), first.bin() / "clip.exe");
  ASSERT_TRUE(first.start());
  ASSERT_EQ(first.post("/v1/pair/request", "", {{"Origin", "http://localhost:3000"}}).status, 200u);
  const fs::path pid_file = first.bin() / "clip.pid";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(pid_file) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(pid_file));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the id is written
  const pid_t clip = std::stoi(read_text(pid_file));
  first.stop();
  ASSERT_TRUE(process_alive(clip));

  Agent second;
  second.use_port(first.port());
  const bool started = second.start();
  kill_process(clip);
  ASSERT_TRUE(started) << second.output() << second.errors();
  EXPECT_EQ(second.get("/v1/status").status, 200u);
}

}  // namespace
}  // namespace vellora::test
