#include "service/probe.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <chrono>
#include <thread>

#include "common/json.h"
#include "platform/env.h"
#include "service/registration.h"

namespace vellora {
namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::optional<std::string> agent_version_in_reply(std::string_view reply) {
  const std::size_t separator = reply.find("\r\n\r\n");
  if (separator == std::string_view::npos) return std::nullopt;
  const auto body = parse_json(reply.substr(separator + 4));
  if (!body || !body->is_object()) return std::nullopt;
  const auto& object = body->get_object();
  const json::value* agent = object.if_contains("agent");
  if (agent == nullptr || !agent->is_string() || agent->get_string() != "vellora-agent")
    return std::nullopt;
  const json::value* version = object.if_contains("version");
  if (version != nullptr && version->is_string()) return std::string(version->get_string());
  return std::string("?");
}

std::optional<std::string> query_running_agent(std::uint16_t port) {
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code status = asio::error::would_block;
  socket.async_connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port),
                       [&](boost::system::error_code ec) { status = ec; });
  io.run_for(std::chrono::milliseconds(800));
  if (status) return std::nullopt;

  const std::string request =
      "GET /v1/status HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  boost::system::error_code ec;
  asio::write(socket, asio::buffer(request), ec);
  if (ec) return std::nullopt;

  // Each read may wait 1500 ms; a peer that trickles bytes is given 10 s in all.
  std::string reply;
  char buffer[8192];
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    io.restart();
    std::size_t received = 0;
    status = asio::error::would_block;
    socket.async_read_some(asio::buffer(buffer), [&](boost::system::error_code e, std::size_t n) {
      status = e;
      received = n;
    });
    io.run_for(std::chrono::milliseconds(1500));
    if (status == asio::error::would_block || Clock::now() > give_up) return std::nullopt;
    reply.append(buffer, received);
    if (status == asio::error::eof) break;
    if (status) return std::nullopt;
  }
  return agent_version_in_reply(reply);
}

std::uint64_t env_seconds(const std::string& name, std::uint64_t fallback) {
  const auto value = platform::get_env(name);
  if (!value) return fallback;
  std::string_view text = value->text;
  if (text.starts_with('+')) text.remove_prefix(1);
  std::uint64_t seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return fallback;
  return seconds;
}

std::expected<void, std::string> restart_and_verify(const std::filesystem::path& home,
                                                    std::uint16_t port,
                                                    const std::string& expected_version) {
  if (auto restarted = restart_service(home); !restarted) return restarted;
  if (platform::get_env("VELLORA_SYSTEMCTL") && !platform::get_env("VELLORA_VERIFY_RESTART"))
    return {};
  const std::uint64_t window =
      std::min<std::uint64_t>(env_seconds("VELLORA_VERIFY_SECS", 8), std::uint64_t{1} << 31);
  const auto deadline = Clock::now() + std::chrono::seconds(window);
  for (;;) {
    const auto answered = query_running_agent(port);
    if (answered == expected_version) return {};
    if (Clock::now() >= deadline) {
      const std::string port_text = std::to_string(port);
      if (answered)
        return std::unexpected(
            "after the restart, version " + *answered + " is still answering on port " + port_text +
            ": another copy of the agent (for example a downloaded executable started by hand) is "
            "holding the port. Stop it (pkill -f vellora-agent; on Windows, use Task Manager) and "
            "restart the service (vellora-agent install)");
      return std::unexpected("the service did not come up on port " + port_text +
                             "; see why with: " + background_run_hint());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
}

}  // namespace vellora
