// The server under connection floods with its file limit or address space lowered.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "harness.h"

namespace vellora::test {
namespace {

using boost::asio::ip::tcp;
using namespace std::chrono_literals;

tcp::endpoint agent_endpoint(std::uint16_t port) {
  return tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port);
}

// Sets the soft limit of a resource of a running process; RLIM_INFINITY restores the hard one.
void limit_process(pid_t pid, int resource, rlim_t value) {
  const auto which = static_cast<__rlimit_resource>(resource);
  rlimit limit{};
  ASSERT_EQ(::prlimit(pid, which, nullptr, &limit), 0);
  limit.rlim_cur = std::min(value, limit.rlim_max);
  ASSERT_EQ(::prlimit(pid, which, &limit, nullptr), 0);
}

std::size_t open_descriptors(pid_t pid) {
  std::size_t n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec))
    ++n;
  return n;
}

// Reads from the socket until the server closes it or `limit` passes; how long that took, none
// when the connection was still open at the limit. What arrived is appended to `received`.
TEST(Connections, FloodOfIdleConnectionsNeitherStopsTheAgentNorUsesUpDescriptors) {
  struct Case {
    const char* what;
    std::optional<rlim_t> file_limit;
  } cases[] = {
      {"usual file limit", std::nullopt},
      {"file limit below the connection cap", 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Agent agent;
    ASSERT_TRUE(agent.start()) << agent.errors();
    if (c.file_limit) limit_process(agent.pid(), RLIMIT_NOFILE, *c.file_limit);

    boost::asio::io_context io;
    std::vector<tcp::socket> flood;
    for (int i = 0; i < 300; ++i) {
      flood.emplace_back(io);
      boost::system::error_code ec;
      flood.back().connect(agent_endpoint(agent.port()), ec);
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(open_descriptors(agent.pid()), 150u);

    const auto reply = agent.get("/v1/status");
    EXPECT_EQ(reply.status, 200u);
    EXPECT_TRUE(process_alive(agent.pid())) << agent.errors();
  }
}

TEST(Connections, APairedPageIsServedWhileClientsWithoutATokenHoldEverySlot) {
  struct Case {
    const char* what;
    std::function<std::string(const Agent&)> opening;  // what each flooding client sends
    int clients;
  } cases[] = {
      {"slow bodies",
       [](const Agent& a) {
         return "POST /v1/pair/confirm HTTP/1.1\r\nHost: " + a.host() +
                "\r\nOrigin: http://localhost:3000\r\nContent-Length: 1000\r\n\r\n{";
       },
       130},
      {"partial headers", [](const Agent&) { return std::string("POST /v1/pair/con"); }, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Agent agent;
    // No clock frees the slots here: only the share kept for paired pages and eviction can.
    agent.set_env("VELLORA_UNAUTHENTICATED_DEADLINE_SECS", "600");
    agent.set_env("VELLORA_HEADER_TIMEOUT_SECS", "600");
    agent.set_env("VELLORA_BODY_TIMEOUT_SECS", "600");
    ASSERT_TRUE(agent.start()) << agent.errors();
    const std::string token = agent.pair();
    boost::asio::io_context io;
    std::vector<tcp::socket> flood;
    for (int i = 0; i < c.clients; ++i) {
      flood.emplace_back(io);
      boost::system::error_code ec;
      flood.back().connect(agent_endpoint(agent.port()), ec);
      const std::string opening = c.opening(agent);
      if (!ec) boost::asio::write(flood.back(), boost::asio::buffer(opening), ec);
    }
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < 5; ++i) {
      HttpResponse reply;
      try {
        reply = agent.post_auth("/v1/cancel", R"({"project":"p1"})", token);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the paired request was refused: " << e.what();
      }
      EXPECT_EQ(reply.status, 200u) << reply.body;
    }
    EXPECT_TRUE(process_alive(agent.pid())) << agent.errors();
  }
}

std::uint64_t address_space_bytes(pid_t pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("VmSize:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 7)) * 1024;
}

TEST(Connections, ThreadsThatCannotStartRefuseConnectionsButNotTheAgent) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  // Room for about one more thread stack: the threads of the next connections cannot start.
  const auto current = address_space_bytes(agent.pid());
  ASSERT_GT(current, 0u);
  if (current > (std::uint64_t{1} << 40))
    GTEST_SKIP() << "AddressSanitizer reserves terabytes: an address space limit cannot stand in "
                    "for a thread limit";
  limit_process(agent.pid(), RLIMIT_AS, current + (12 << 20));
  boost::asio::io_context io;
  std::vector<tcp::socket> waiting;
  for (int i = 0; i < 10; ++i) {
    waiting.emplace_back(io);
    waiting.back().connect(agent_endpoint(agent.port()));
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(process_alive(agent.pid())) << agent.errors();
  limit_process(agent.pid(), RLIMIT_AS, RLIM_INFINITY);
  waiting.clear();
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
}

}  // namespace
}  // namespace vellora::test
