// The server under hostile or broken clients: clients that stall, malformed HTTP, oversized
// bodies on open routes, status floods.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "harness.h"

namespace vellora::test {
namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

tcp::endpoint agent_endpoint(std::uint16_t port) {
  return tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port);
}

std::optional<std::chrono::milliseconds> time_until_closed(tcp::socket& socket,
                                                           std::chrono::milliseconds limit,
                                                           std::string* received = nullptr) {
  socket.non_blocking(true);
  const auto start = Clock::now();
  char buffer[4096];
  while (Clock::now() - start < limit) {
    boost::system::error_code ec;
    const std::size_t n = socket.read_some(boost::asio::buffer(buffer), ec);
    if (ec == boost::asio::error::would_block) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    if (ec) return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (received) received->append(buffer, n);
  }
  return std::nullopt;
}

void send_text(tcp::socket& socket, std::string_view text) {
  boost::system::error_code ec;
  boost::asio::write(socket, boost::asio::buffer(text), ec);
}

class Timeouts : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_.set_env("VELLORA_HEADER_TIMEOUT_SECS", "1");
    agent_.set_env("VELLORA_IDLE_TIMEOUT_SECS", "3");
    agent_.set_env("VELLORA_BODY_TIMEOUT_SECS", "1");
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  std::string request_head(const std::string& target, std::size_t length) const {
    return "POST " + target + " HTTP/1.1\r\nHost: " + agent_.host() + "\r\nAuthorization: Bearer " +
           token_ + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
  }
  Agent agent_;
  std::string token_;
};

TEST_F(Timeouts, StalledClientsLoseTheirConnection) {
  const std::string status_request =
      "GET /v1/status HTTP/1.1\r\nHost: " + agent_.host() + "\r\n\r\n";
  struct Case {
    const char* what;
    std::function<void(tcp::socket&)> client;  // what the client does before going silent
    std::chrono::milliseconds at_least, at_most;
  } cases[] = {
      {"sends nothing", [](tcp::socket&) {}, 500ms, 2500ms},
      {"sends half a header", [&](tcp::socket& s) { send_text(s, "GET /v1/status HT"); }, 500ms,
       2500ms},
      {"idle after a request", [&](tcp::socket& s) { send_text(s, status_request); }, 2000ms,
       4500ms},
      {"stalls in a body",
       [&](tcp::socket& s) { send_text(s, request_head("/v1/blobs", 1000) + "{\"blobs\":["); },
       500ms, 2500ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    boost::asio::io_context io;
    tcp::socket socket(io);
    socket.connect(agent_endpoint(agent_.port()));
    c.client(socket);
    const auto closed = time_until_closed(socket, 8s);
    ASSERT_TRUE(closed) << "still open after 8 s";
    EXPECT_GE(*closed, c.at_least);
    EXPECT_LE(*closed, c.at_most);
  }
}

TEST_F(Timeouts, HeaderSentByteByByteIsCutButASlowSteadyUploadIsNot) {
  {
    boost::asio::io_context io;
    tcp::socket socket(io);
    socket.connect(agent_endpoint(agent_.port()));
    const std::string request = "GET /v1/status HTTP/1.1\r\nHost: " + agent_.host() + "\r\n\r\n";
    const auto start = Clock::now();
    boost::system::error_code ec;
    for (char c : request) {
      boost::asio::write(socket, boost::asio::buffer(&c, 1), ec);
      if (ec) break;
      std::this_thread::sleep_for(200ms);
    }
    // The whole request would take about 9 s; the header time is 1 s.
    EXPECT_TRUE(ec || time_until_closed(socket, 1s)) << "the trickled header was served";
    EXPECT_LT(Clock::now() - start, 4s);
  }
  {
    // An upload that keeps arriving, slower than the body time but never pausing that long.
    const std::string content(3000, 'x');
    const std::string body = R"({"blobs":[{"sha256":")" + sha256_of(content) + R"(","b64":")" +
                             std::string(4000, 'e') + R"("}]})";
    boost::asio::io_context io;
    tcp::socket socket(io);
    socket.connect(agent_endpoint(agent_.port()));
    send_text(socket, request_head("/v1/blobs", body.size()));
    for (std::size_t sent = 0; sent < body.size(); sent += 400) {
      send_text(socket, std::string_view(body).substr(sent, 400));
      std::this_thread::sleep_for(300ms);  // about 3 s in all
    }
    std::string reply;
    time_until_closed(socket, 2s, &reply);
    // The content does not match its digest: the point is that the body was read to its end.
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 400")) << reply;
    EXPECT_NE(reply.find("the content does not match the hash"), std::string::npos) << reply;
  }
}

// Sends `text` one byte every `interval` (then waits) until the server closes the connection or
// `limit` passes; how long that took, none when still open. What arrived goes to `received`.
std::optional<std::chrono::milliseconds> trickle_until_closed(tcp::socket& socket,
                                                              std::string_view text,
                                                              std::chrono::milliseconds interval,
                                                              std::chrono::milliseconds limit,
                                                              std::string* received = nullptr) {
  socket.non_blocking(true);
  const auto start = Clock::now();
  auto next_send = start;
  std::size_t sent = 0;
  char buffer[4096];
  while (Clock::now() - start < limit) {
    if (sent < text.size() && Clock::now() >= next_send) {
      boost::system::error_code ec;
      socket.write_some(boost::asio::buffer(text.substr(sent, 1)), ec);
      if (!ec) ++sent;
      next_send += interval;
    }
    boost::system::error_code ec;
    const std::size_t n = socket.read_some(boost::asio::buffer(buffer), ec);
    if (ec == boost::asio::error::would_block) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    if (ec) return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (received) received->append(buffer, n);
  }
  return std::nullopt;
}

TEST(Connections, RequestsWithoutATokenHaveOneDeadlineForHeaderAndBody) {
  Agent agent;
  agent.set_env("VELLORA_UNAUTHENTICATED_DEADLINE_SECS", "2");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  const std::string host = "Host: " + agent.host() + "\r\n";
  const std::string confirm_head = "POST /v1/pair/confirm HTTP/1.1\r\n" + host +
                                   "Origin: http://localhost:3000\r\nContent-Length: 40\r\n\r\n";
  struct Case {
    const char* what;
    std::string sent_at_once, trickled;
  } cases[] = {
      {"header sent byte by byte", "", confirm_head},
      {"body sent byte by byte", confirm_head, std::string(40, ' ')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    boost::asio::io_context io;
    tcp::socket socket(io);
    socket.connect(agent_endpoint(agent.port()));
    send_text(socket, c.sent_at_once);
    // Header and body would take 20 s or more; each byte comes well within the header and body
    // times, so only the request's own deadline can cut it.
    const auto closed = trickle_until_closed(socket, c.trickled, 250ms, 10s);
    ASSERT_TRUE(closed) << "still open after 10 s";
    EXPECT_GE(*closed, 1500ms);
    EXPECT_LE(*closed, 6s);
  }
  // A request with a token at the same pace is read to its end.
  const std::string body = R"({"project":"p1"})";
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(agent_endpoint(agent.port()));
  send_text(socket, "POST /v1/cancel HTTP/1.1\r\n" + host + "Authorization: Bearer " + token +
                        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
  std::string reply;
  trickle_until_closed(socket, body, 250ms, body.size() * 250ms + 2s, &reply);
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 200")) << reply;
}

TEST(Connections, ABodyThatTricklesBelowTheMinimumRateIsCut) {
  Agent agent;
  agent.set_env("VELLORA_MIN_RATE_WINDOW_SECS", "2");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(agent_endpoint(agent.port()));
  send_text(socket, "POST /v1/blobs HTTP/1.1\r\nHost: " + agent.host() +
                        "\r\nAuthorization: Bearer " + token +
                        "\r\nContent-Length: 100000\r\n\r\n{\"blobs\":[");
  // Every byte comes well within the body time (30 s), but far below 1 KiB/s.
  const auto closed = trickle_until_closed(socket, std::string(1000, ' '), 200ms, 12s);
  ASSERT_TRUE(closed) << "still open after 12 s";
  EXPECT_GE(*closed, 1500ms);
  EXPECT_LE(*closed, 8s);
}

TEST(Connections, OverLongChunkedBodyOnAnOpenRouteIsRefusedAndFreesItsThread) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  // Far more than one buffer of the server's reader: the limit is met while it still reads.
  std::string body;
  const std::string chunk(64 * 1024, 'x');
  for (int i = 0; i < 32; ++i) body += "10000\r\n" + chunk + "\r\n";
  body += "0\r\n\r\n";
  const std::string request = "POST /v1/pair/confirm HTTP/1.1\r\nHost: " + agent.host() +
                              "\r\nOrigin: http://localhost:3000\r\nConnection: close\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n" +
                              body;
  for (int i = 0; i < 3; ++i) {
    const std::string reply = raw_exchange(agent.port(), request, 8s);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 400")) << reply.substr(0, 200);
    EXPECT_NE(reply.find(R"({"error":"body too large"})"), std::string::npos)
        << reply.substr(0, 200);
  }
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
}

TEST(Connections, MalformedRequestsGetAnErrorReply) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string host = "Host: " + agent.host() + "\r\n";
  struct Case {
    const char* what;
    std::string request;
    std::string status_line;
    std::string error;
  } cases[] = {
      {"bad version", "GET /v1/status HTTX/1.1\r\n" + host + "\r\n", "HTTP/1.1 400",
       "malformed request"},
      {"bare line feeds", "GET /v1/status HTTP/1.1\n" + host + "\n", "HTTP/1.1 400",
       "malformed request"},
      {"two lengths",
       "POST /v1/pair/confirm HTTP/1.1\r\n" + host +
           "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
       "HTTP/1.1 400", "malformed request"},
      {"length and chunked",
       "POST /v1/pair/confirm HTTP/1.1\r\n" + host +
           "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n{}",
       "HTTP/1.1 400", "malformed request"},
      {"header too large",
       "GET /v1/status HTTP/1.1\r\n" + host + "X-Big: " + std::string(70000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431", "request header too large"},
      {"two Host headers", "GET /v1/status HTTP/1.1\r\n" + host + host + "\r\n", "HTTP/1.1 400",
       "more than one Host header"},
      {"two Origin headers",
       "GET /v1/status HTTP/1.1\r\n" + host +
           "Origin: http://localhost:3000\r\nOrigin: https://evil.example\r\n\r\n",
       "HTTP/1.1 400", "more than one Origin header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string reply = raw_exchange(agent.port(), c.request, 3s);
    EXPECT_TRUE(reply.starts_with(c.status_line)) << reply;
    EXPECT_NE(reply.find(R"({"error":")" + c.error), std::string::npos) << reply;
  }
}

TEST(Connections, OpenRoutesTakeNoLargeBodies) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  const auto body_of_size = [](std::size_t size) {
    std::string body = R"({"code":"ABCD-EFGH-JKLM","pad":")";
    body += std::string(size - body.size() - 2, 'x') + "\"}";
    return body;
  };
  struct Case {
    std::size_t size;
    unsigned status;
    const char* error;
  } cases[] = {
      {64 * 1024, 401, "invalid code"},
      {64 * 1024 + 1, 400, "body too large"},
      {8 << 20, 400, "body too large"},
  };
  for (const auto& c : cases) {
    const auto reply =
        agent.post("/v1/pair/confirm", body_of_size(c.size), {{"Origin", "http://localhost:3000"}});
    EXPECT_EQ(reply.status, c.status) << c.size;
    EXPECT_EQ(std::string(reply.json().at("error").as_string()), c.error) << c.size;
  }
}

TEST(Connections, ConcurrentStatusCallsShareOneEngineDetection) {
  Agent agent;
  // Every start of this engine leaves a line in the record.
  write_fake(
      agent.bin(), "tectonic",
      {"echo run >> \"$0.runs\"\nsleep 0.5\necho 'Tectonic 0.15.0'\n",
       ">>\"%~dp0tectonic.runs\" echo run\nping -n 2 127.0.0.1 >nul\necho Tectonic 0.15.0\n"});
  ASSERT_TRUE(agent.start()) << agent.errors();
  const auto runs = [&] {
    const std::string text = read_text(agent.bin() / "tectonic.runs");
    return std::count(text.begin(), text.end(), '\n');
  };
  const auto at_start = runs();
  std::vector<std::future<HttpResponse>> calls;
  for (int i = 0; i < 20; ++i)
    calls.push_back(std::async(std::launch::async, [&] { return agent.get("/v1/status"); }));
  for (auto& call : calls) {
    const auto reply = call.get();
    ASSERT_EQ(reply.status, 200u);
    EXPECT_NE(reply.body.find("Tectonic 0.15.0"), std::string::npos) << reply.body;
  }
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
  EXPECT_EQ(runs() - at_start, 1);
}

TEST(Connections, PortZeroReportsAndAdmitsThePortBound) {
  Agent agent;
  agent.set_env("VELLORA_AGENT_PORT", "0");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string banner = agent.output().substr(0, agent.output().find('\n'));
  const std::string prefix = "vellora-agent 0.4.15 at http://127.0.0.1:";
  ASSERT_TRUE(banner.starts_with(prefix)) << banner;
  const int port = std::stoi(banner.substr(prefix.size()));
  ASSERT_GT(port, 0) << banner;
  const auto reply = http_request(static_cast<std::uint16_t>(port), "GET", "/v1/status",
                                  {{"Host", "127.0.0.1:" + std::to_string(port)}});
  EXPECT_EQ(reply.status, 200u) << reply.body;
}

}  // namespace
}  // namespace vellora::test
