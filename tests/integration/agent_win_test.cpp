// Windows only: the agent's port is its own.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include "harness.h"

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

}  // namespace
}  // namespace vellora::test
