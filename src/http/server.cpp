#include "http/server.h"

#include <array>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "http/gate.h"

namespace vellora {
namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

constexpr std::size_t HEADER_LIMIT = 64 * 1024;

using Parser = http::request_parser<http::buffer_body>;

// Buffers handed from the socket reader to the parsing thread and back.
class PiecePipe {
 public:
  static constexpr std::size_t BUFFERS = 4;
  static constexpr std::size_t BUFFER_SIZE = 256 * 1024;

  PiecePipe() {
    for (auto& b : buffers_) {
      b.resize(BUFFER_SIZE);
      empty_.push_back(&b);
    }
  }

  // Reader side: an empty buffer to fill; null once the consumer has stopped.
  std::string* take_empty() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || !empty_.empty(); });
    if (stopped_) return nullptr;
    std::string* b = empty_.front();
    empty_.pop_front();
    return b;
  }
  void put_full(std::string* buffer, std::size_t size) {
    std::lock_guard lock(mutex_);
    full_.emplace_back(buffer, size);
    changed_.notify_all();
  }
  void finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  // Consumer side: the next filled piece, none at the end. give_back() returns it.
  std::optional<std::string_view> take_full() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !full_.empty(); });
    if (full_.empty()) return std::nullopt;
    current_ = full_.front().first;
    const std::string_view piece(current_->data(), full_.front().second);
    full_.pop_front();
    return piece;
  }
  void give_back() {
    std::lock_guard lock(mutex_);
    empty_.push_back(current_);
    changed_.notify_all();
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  std::array<std::string, BUFFERS> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string*> empty_;
  std::deque<std::pair<std::string*, std::size_t>> full_;
  std::string* current_ = nullptr;
  bool finished_ = false;
  bool stopped_ = false;
};

// The body of the request being handled, read from the socket only when the gate asks for it and
// handed over in pieces of a fixed buffer.
class SocketBody final : public BodySource {
 public:
  SocketBody(tcp::socket& socket, beast::flat_buffer& buffer, Parser& parser)
      : socket_(socket), buffer_(buffer), parser_(parser) {}

  std::optional<std::uint64_t> announced_length() const override {
    const auto length = parser_.content_length();
    return length ? std::optional<std::uint64_t>(*length) : std::nullopt;
  }

  std::expected<void, std::string> read(
      const std::function<bool(std::string_view)>& consume) override {
    if (parser_.is_done()) return {};
    boost::system::error_code ec;
    if (beast::iequals(parser_.get()[http::field::expect], "100-continue")) {
      http::response<http::empty_body> go_on{http::status::continue_, 11};
      http::write(socket_, go_on, ec);
      if (ec) return std::unexpected(ec.message());
    }
    // A reader thread keeps the socket busy while this thread parses what has already arrived;
    // the two pass a few reused buffers back and forth.
    PiecePipe pipe;
    std::string read_error;
    std::thread reader([&] {
      while (!parser_.is_done()) {
        std::string* piece = pipe.take_empty();
        if (piece == nullptr) return;  // the consumer stopped early
        std::size_t filled = 0;
        while (filled < piece->size() && !parser_.is_done()) {
          auto& body = parser_.get().body();
          body.data = piece->data() + filled;
          body.size = piece->size() - filled;
          boost::system::error_code ec;
          http::read(socket_, buffer_, parser_, ec);
          if (ec == http::error::need_buffer) ec = {};
          filled = piece->size() - body.size;
          if (ec) {
            read_error = ec.message();
            pipe.finish();
            return;
          }
        }
        pipe.put_full(piece, filled);
      }
      pipe.finish();
    });
    bool stopped = false;
    while (const auto piece = pipe.take_full()) {
      if (!stopped && !consume(*piece)) {
        stopped = true;
        pipe.stop();
      }
      pipe.give_back();
    }
    reader.join();
    if (!read_error.empty()) return std::unexpected(read_error);
    return {};
  }

 private:
  tcp::socket& socket_;
  beast::flat_buffer& buffer_;
  Parser& parser_;
};

// After replying to a request whose body was not read, let the client finish sending before the
// socket closes: closing with unread data resets the connection and the client may lose the reply.
void lingering_close(tcp::socket& socket) {
  boost::system::error_code ec;
  socket.shutdown(tcp::socket::shutdown_send, ec);
  socket.non_blocking(true, ec);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char sink[65536];
  while (std::chrono::steady_clock::now() < deadline) {
    socket.read_some(boost::asio::buffer(sink), ec);
    if (ec == boost::asio::error::would_block) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (ec) break;
  }
  socket.close(ec);
}

void serve_connection(tcp::socket socket, std::shared_ptr<ServerContext> context) {
  beast::flat_buffer buffer;
  for (;;) {
    Parser parser;
    parser.header_limit(HEADER_LIMIT);
    parser.body_limit(boost::none);
    boost::system::error_code ec;
    http::read_header(socket, buffer, parser, ec);
    if (ec) break;

    const auto& message = parser.get();
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message)
      request.headers.emplace_back(field.name_string(), field.value());

    SocketBody body(socket, buffer, parser);
    Reply reply = handle_request(*context, request, body);

    const bool body_read = parser.is_done();
    const bool keep_alive = body_read && message.keep_alive();
    http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
    for (auto& [name, value] : reply.headers) response.insert(name, value);
    response.body() = std::move(reply.body);
    response.keep_alive(keep_alive);
    // A 204 carries no body and so no Content-Length either.
    if (reply.status != 204) response.prepare_payload();
    if (message.method() == http::verb::head) {
      // The same header, and no body: the client would not read one.
      http::response_serializer<http::string_body> serializer{response};
      http::write_header(socket, serializer, ec);
    } else {
      http::write(socket, response, ec);
    }
    if (ec) break;
    if (!keep_alive) {
      if (!body_read) lingering_close(socket);
      break;
    }
  }
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
}

}  // namespace

void serve(tcp::acceptor& acceptor, std::shared_ptr<ServerContext> context) {
  for (;;) {
    tcp::socket socket(acceptor.get_executor());
    boost::system::error_code ec;
    acceptor.accept(socket, ec);
    if (ec == boost::asio::error::connection_aborted || ec == boost::asio::error::interrupted)
      continue;
    if (ec) return;
    try {
      std::thread(serve_connection, std::move(socket), context).detach();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "internal error: cannot start a request thread: %s\n", e.what());
      std::abort();
    }
  }
}

}  // namespace vellora
