#include "http/server.h"

#include <array>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "auth/registry.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace vellora {
namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

constexpr std::size_t HEADER_LIMIT = 64 * 1024;
// The most a single read of a body takes from the socket (Beast's own upper bound).
constexpr std::size_t BODY_READ_SIZE = 64 * 1024;

// Enough for every page of a browser and then some; beyond it idle connections make room, then
// connections whose request carries no token; when every one holds a paired client's request a
// new connection is refused, so a flood cannot use up the descriptors.
constexpr std::size_t MAX_CONNECTIONS = 128;
// Requests without a valid token may hold at most this many connections past their header; the
// rest are kept for paired pages.
constexpr std::size_t MAX_UNTRUSTED_REQUESTS = 96;
// A body that has started must keep coming at this average rate, measured over each window.
constexpr std::uint64_t MIN_BODY_BYTES_PER_SEC = 1024;

using Parser = http::request_parser<http::buffer_body>;
using Clock = std::chrono::steady_clock;

std::chrono::seconds seconds_from_env(const char* name, int fallback) {
  const auto value = platform::get_env(name);
  int secs = 0;
  if (!value) return std::chrono::seconds(fallback);
  const auto [end, ec] =
      std::from_chars(value->text.data(), value->text.data() + value->text.size(), secs);
  if (ec != std::errc() || end != value->text.data() + value->text.size() || secs <= 0)
    return std::chrono::seconds(fallback);
  return std::chrono::seconds(secs);
}

// How long a connection may keep its thread without doing its part. The variables exist so that
// tests need not wait for the real values.
struct Timeouts {
  std::chrono::seconds header = seconds_from_env("VELLORA_HEADER_TIMEOUT_SECS", 10);
  std::chrono::seconds idle = seconds_from_env("VELLORA_IDLE_TIMEOUT_SECS", 60);
  // Without progress, while a body arrives or a reply leaves.
  std::chrono::seconds transfer = seconds_from_env("VELLORA_BODY_TIMEOUT_SECS", 30);
  // A request without a valid token: its header and body together, from its first byte.
  std::chrono::seconds untrusted = seconds_from_env("VELLORA_UNAUTHENTICATED_DEADLINE_SECS", 5);
  // The window over which a body's rate is measured.
  std::chrono::seconds rate_window = seconds_from_env("VELLORA_MIN_RATE_WINDOW_SECS", 30);
};

struct Connection {
  explicit Connection(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  // Guarded by the mutex of Connections.
  bool idle = true;  // waiting for the first byte of a request
  bool cut = false;
  // The request under way carries a valid token; until its header is in, nobody knows.
  bool trusted = false;
  bool header_in = false;
  Clock::time_point deadline = Clock::time_point::max();
  // The whole request's deadline while it is not known to be trusted.
  Clock::time_point untrusted_deadline = Clock::time_point::max();
  Clock::time_point since = Clock::now();
  // While a body is read: what has arrived, and the rate window under way.
  bool reading_body = false;
  std::uint64_t body_bytes = 0;
  std::optional<std::uint64_t> body_length;  // when announced
  Clock::time_point window_start;
  std::uint64_t window_start_bytes = 0;
  // While a request whose body has been read is handled: cancelled by the watchdog when the client
  // closes the connection, since nobody is left to read the reply.
  std::shared_ptr<platform::Cancellation> client_gone;
};

// The open connections with what each is waiting for. A watchdog cuts those past their deadline;
// a connection is only ever cut while registered, and its thread unregisters it before closing
// the socket, so a descriptor number is never touched after it may have been reused.
class Connections {
 public:
  const Timeouts timeouts;

  // Registers a new connection, making room at the limit by cutting the oldest idle one, else the
  // oldest whose request is not known to carry a token. False when every connection holds a
  // paired client's request: the new one is then refused.
  bool admit(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(mutex_);
    std::size_t live = 0;
    for (const auto& c : open_) live += c->cut ? 0 : 1;
    if (live >= MAX_CONNECTIONS && !cut_oldest_idle_locked() && !cut_oldest_untrusted_locked())
      return false;
    if (open_.size() >= 2 * MAX_CONNECTIONS) return false;  // cut ones that have not closed yet
    connection->deadline = Clock::now() + timeouts.header;
    open_.push_back(connection);
    return true;
  }

  void forget(const Connection& connection) {
    std::lock_guard lock(mutex_);
    open_.remove_if([&](const auto& c) { return c.get() == &connection; });
    closed_.notify_all();
  }

  // Out of descriptors: cuts the oldest idle connection and waits until some connection has
  // closed, or a short while when none is idle.
  void make_room() {
    std::unique_lock lock(mutex_);
    const auto before = open_.size();
    cut_oldest_idle_locked();
    closed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return open_.size() < before; });
  }

  // Waiting for a request: the first one on a new connection gets the header time, later ones the
  // keep-alive time.
  void awaiting_request(Connection& c, bool first) {
    {
      std::lock_guard lock(mutex_);
      c.trusted = c.header_in = false;
      c.untrusted_deadline = Clock::time_point::max();
    }
    set(c, true, first ? timeouts.header : timeouts.idle);
  }
  // The request's first byte is in: from now on it has the untrusted deadline until its header
  // shows a valid token.
  void reading_header(Connection& c) {
    {
      std::lock_guard lock(mutex_);
      c.trusted = c.header_in = false;
      c.untrusted_deadline = Clock::now() + timeouts.untrusted;
    }
    set(c, false, timeouts.header);
  }
  // The header is in. False when the request carries no valid token and would hold a connection
  // while its body arrives though the share of such requests is full: it is then refused.
  bool header_read(Connection& c, bool trusted, bool has_body) {
    std::lock_guard lock(mutex_);
    c.header_in = true;
    c.trusted = trusted;
    if (trusted) {
      c.untrusted_deadline = Clock::time_point::max();
      return true;
    }
    if (!has_body) return true;
    std::size_t untrusted = 0;
    for (const auto& other : open_)
      if (other.get() != &c && !other->cut && other->header_in && !other->trusted) ++untrusted;
    return untrusted < MAX_UNTRUSTED_REQUESTS;
  }
  // A body starts to arrive; `announced` is its Content-Length when it has one.
  void body_started(Connection& c, std::optional<std::uint64_t> announced) {
    {
      std::lock_guard lock(mutex_);
      c.reading_body = true;
      c.body_bytes = 0;
      c.body_length = announced;
      c.window_start = Clock::now();
      c.window_start_bytes = 0;
    }
    transferring(c);
  }
  void body_progress(Connection& c, std::size_t bytes) {
    {
      std::lock_guard lock(mutex_);
      c.body_bytes += bytes;
    }
    transferring(c);
  }
  void body_ended(Connection& c) {
    std::lock_guard lock(mutex_);
    c.reading_body = false;
  }
  void transferring(Connection& c) { set(c, false, timeouts.transfer); }
  // `client_gone`: the whole request has arrived, so whatever the socket yields now is its end.
  void handling(Connection& c, std::shared_ptr<platform::Cancellation> client_gone = nullptr) {
    set(c, false, std::nullopt, std::move(client_gone));
  }

  // Runs for ever: cuts the connections whose deadline has passed.
  void watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
      tick_.wait_for(lock, std::chrono::milliseconds(200));
      const auto now = Clock::now();
      for (const auto& c : open_) {
        // The untrusted deadline covers reading the header and the body, not handling.
        const bool reading = !c->header_in || c->reading_body;
        if (!c->cut && (c->deadline <= now || (reading && c->untrusted_deadline <= now)))
          cut_locked(*c);
        if (!c->cut && c->reading_body && too_slow_locked(*c, now)) cut_locked(*c);
        if (!c->cut && c->client_gone && platform::peer_closed(c->socket)) {
          c->client_gone->cancel();
          c->client_gone.reset();
        }
      }
    }
  }

 private:
  void set(Connection& c, bool idle, std::optional<std::chrono::seconds> timeout,
           std::shared_ptr<platform::Cancellation> client_gone = nullptr) {
    std::lock_guard lock(mutex_);
    c.idle = idle;
    c.client_gone = std::move(client_gone);
    if (idle) c.since = Clock::now();
    c.deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
  }

  // Every byte of a body restarts the transfer clock, so a body that trickles would never be cut by
  // it: each window must also bring its share at the minimum rate (or the rest of the body).
  bool too_slow_locked(Connection& c, Clock::time_point now) {
    if (now - c.window_start < timeouts.rate_window) return false;
    const auto secs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(timeouts.rate_window).count());
    std::uint64_t needed = MIN_BODY_BYTES_PER_SEC * secs;
    if (c.body_length)
      needed = std::min(needed, *c.body_length > c.window_start_bytes
                                    ? *c.body_length - c.window_start_bytes
                                    : std::uint64_t{0});
    if (c.body_bytes - c.window_start_bytes < needed) return true;
    c.window_start = now;
    c.window_start_bytes = c.body_bytes;
    return false;
  }

  bool cut_oldest_untrusted_locked() {
    Connection* oldest = nullptr;
    for (const auto& c : open_)
      if (!c->trusted && !c->cut && (oldest == nullptr || c->since < oldest->since))
        oldest = c.get();
    if (oldest == nullptr) return false;
    cut_locked(*oldest);
    return true;
  }

  bool cut_oldest_idle_locked() {
    Connection* oldest = nullptr;
    for (const auto& c : open_)
      if (c->idle && !c->cut && (oldest == nullptr || c->since < oldest->since)) oldest = c.get();
    if (oldest == nullptr) return false;
    cut_locked(*oldest);
    return true;
  }

  void cut_locked(Connection& c) {
    c.cut = true;
    platform::interrupt_socket(c.socket);
  }

  std::mutex mutex_;
  std::condition_variable tick_;  // only paces the watchdog
  std::condition_variable closed_;
  std::list<std::shared_ptr<Connection>> open_;
};

// Buffers a body is read into, kept from one request to the next: fresh memory would cost a page
// fault per page, and zeroing it, on every upload.
class PiecePool {
 public:
  static constexpr std::size_t SIZE = 256 * 1024;
  static constexpr std::size_t KEPT = 16;

  static PiecePool& instance() {
    static PiecePool pool;
    return pool;
  }
  std::unique_ptr<char[]> take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        auto piece = std::move(free_.back());
        free_.pop_back();
        return piece;
      }
    }
    return std::unique_ptr<char[]>(new char[SIZE]);
  }
  void give_back(std::unique_ptr<char[]> piece) {
    std::lock_guard lock(mutex_);
    if (free_.size() < KEPT) free_.push_back(std::move(piece));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> free_;
};

// A piece of the body: a pooled buffer, returned to the pool when it goes.
class Piece {
 public:
  Piece() : data_(PiecePool::instance().take()) {}
  ~Piece() {
    if (data_) PiecePool::instance().give_back(std::move(data_));
  }
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;
  char* data() { return data_.get(); }
  static constexpr std::size_t size() { return PiecePool::SIZE; }

 private:
  std::unique_ptr<char[]> data_;
};

// Buffers handed from the socket reader to the parsing thread and back.
class PiecePipe {
 public:
  static constexpr std::size_t BUFFERS = 4;

  PiecePipe() {
    for (auto& b : buffers_) empty_.push_back(&b);
  }

  // Reader side: an empty buffer to fill; null once the consumer has stopped.
  Piece* take_empty() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || !empty_.empty(); });
    if (stopped_) return nullptr;
    Piece* b = empty_.front();
    empty_.pop_front();
    return b;
  }
  void put_full(Piece* buffer, std::size_t size) {
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
  std::array<Piece, BUFFERS> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece*> empty_;
  std::deque<std::pair<Piece*, std::size_t>> full_;
  Piece* current_ = nullptr;
  bool finished_ = false;
  bool stopped_ = false;
};

// The body of the request being handled, read from the socket only when the gate asks for it and
// handed over in pieces of a fixed buffer.
class SocketBody final : public BodySource {
 public:
  SocketBody(Connection& connection, Connections& connections, beast::flat_buffer& buffer,
             Parser& parser, std::shared_ptr<platform::Cancellation> client_gone)
      : connection_(connection),
        connections_(connections),
        socket_(connection.socket),
        buffer_(buffer),
        parser_(parser),
        client_gone_(std::move(client_gone)) {}

  std::optional<std::uint64_t> announced_length() const override {
    const auto length = parser_.content_length();
    return length ? std::optional<std::uint64_t>(*length) : std::nullopt;
  }

  std::expected<void, std::string> read(
      const std::function<bool(std::string_view)>& consume) override {
    if (parser_.is_done()) return {};
    // Every piece that arrives restarts the clock, and each window must bring its share.
    connections_.body_started(connection_, announced_length());
    auto result = read_pieces(consume);
    connections_.body_ended(connection_);
    connections_.handling(connection_, parser_.is_done() ? client_gone_ : nullptr);
    return result;
  }

 private:
  // Fills `piece` from the socket; the number of bytes, or the read error.
  std::expected<std::size_t, std::string> fill(Piece& piece) {
    std::size_t filled = 0;
    while (filled < piece.size() && !parser_.is_done()) {
      auto& body = parser_.get().body();
      body.data = piece.data() + filled;
      body.size = piece.size() - filled;
      boost::system::error_code ec;
      http::read_some(socket_, buffer_, parser_, ec);
      if (ec == http::error::need_buffer) ec = {};
      const std::size_t before = filled;
      filled = piece.size() - body.size;
      if (ec) return std::unexpected(ec.message());
      connections_.body_progress(connection_, filled - before);
    }
    return filled;
  }

  std::expected<void, std::string> read_pieces(
      const std::function<bool(std::string_view)>& consume) {
    boost::system::error_code ec;
    if (beast::iequals(parser_.get()[http::field::expect], "100-continue")) {
      http::response<http::empty_body> go_on{http::status::continue_, 11};
      http::write(socket_, go_on, ec);
      if (ec) return std::unexpected(ec.message());
    }
    // Beast reads at most what the buffer has room for, and a buffer sized for the header holds
    // 512 bytes: a large body would take one system call per 512 bytes (a browser's upload
    // arrives in many small segments, so every call returns little). Room for 64 KiB lets each
    // read take whatever has arrived.
    buffer_.reserve(BODY_READ_SIZE);
    // A reader thread keeps the socket busy while this thread parses what has already arrived;
    // the two pass a few reused buffers back and forth.
    PiecePipe pipe;
    std::string read_error;
    std::thread reader;
    try {
      reader = std::thread([&] {
        // The pipe is finished however this ends: the consumer waits for it.
        while (!parser_.is_done()) {
          Piece* piece = pipe.take_empty();
          if (piece == nullptr) break;  // the consumer stopped early
          const auto filled = fill(*piece);
          if (!filled) {
            read_error = filled.error();
            break;
          }
          pipe.put_full(piece, *filled);
        }
        pipe.finish();
      });
    } catch (const std::system_error&) {
      // No thread to spare: read and parse in turn on this one.
      Piece piece;
      bool wanted = true;
      while (wanted && !parser_.is_done()) {
        const auto filled = fill(piece);
        if (!filled) return std::unexpected(filled.error());
        wanted = consume(std::string_view(piece.data(), *filled));
      }
      return {};
    }
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

  Connection& connection_;
  Connections& connections_;
  tcp::socket& socket_;
  beast::flat_buffer& buffer_;
  Parser& parser_;
  std::shared_ptr<platform::Cancellation> client_gone_;
};

// After replying to a request whose body was not read, let the client finish sending before the
// socket closes: closing with unread data resets the connection and the client may lose the reply.
// The socket is closed by its owner afterwards.
void linger(tcp::socket& socket) {
  boost::system::error_code ec;
  socket.shutdown(tcp::socket::shutdown_send, ec);
  socket.non_blocking(true, ec);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  char sink[65536];
  while (Clock::now() < deadline) {
    socket.read_some(boost::asio::buffer(sink), ec);
    if (ec == boost::asio::error::would_block) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (ec) break;
  }
}

// Writes a whole response; every piece written restarts the transfer clock, so a client that
// stops reading does not hold the thread for ever.
template <typename Serializer>
void write_response(Connection& connection, Connections& connections, Serializer& serializer,
                    bool header_only, boost::system::error_code& ec) {
  connections.transferring(connection);
  while (!(header_only ? serializer.is_header_done() : serializer.is_done())) {
    if (header_only) {
      http::write_header(connection.socket, serializer, ec);
    } else {
      http::write_some(connection.socket, serializer, ec);
    }
    if (ec) return;
    connections.transferring(connection);
  }
}

// The errors of a request that is not HTTP as it must be written, as opposed to a connection that
// ended or was cut.
bool malformed(const boost::system::error_code& ec) {
  static const auto& http_errors = http::make_error_code(http::error::bad_method).category();
  return ec.category() == http_errors && ec != http::error::end_of_stream &&
         ec != http::error::partial_message;
}

void refuse_malformed(Connection& connection, Connections& connections,
                      const boost::system::error_code& error) {
  const bool too_large = error == http::error::header_limit;
  const Reply reply = error_reply(too_large ? 431 : 400, std::nullopt,
                                  too_large ? std::string("request header too large")
                                            : "malformed request: " + error.message());
  http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
  for (const auto& [name, value] : reply.headers) response.insert(name, value);
  response.body() = reply.body;
  response.keep_alive(false);
  response.prepare_payload();
  http::response_serializer<http::string_body> serializer{response};
  boost::system::error_code ec;
  write_response(connection, connections, serializer, false, ec);
  if (!ec) linger(connection.socket);
}

void serve_requests(Connection& connection, Connections& connections, ServerContext& context,
                    const RequestHandler& handle) {
  tcp::socket& socket = connection.socket;
  beast::flat_buffer buffer;
  for (bool first = true;; first = false) {
    Parser parser;
    parser.header_limit(HEADER_LIMIT);
    parser.body_limit(boost::none);
    boost::system::error_code ec;
    if (buffer.size() == 0) {
      connections.awaiting_request(connection, first);
      socket.wait(tcp::socket::wait_read, ec);
      if (ec) return;
    }
    connections.reading_header(connection);
    http::read_header(socket, buffer, parser, ec);
    if (ec) {
      if (malformed(ec)) refuse_malformed(connection, connections, ec);
      return;
    }
    auto client_gone = std::make_shared<platform::Cancellation>();
    connections.handling(connection, parser.is_done() ? client_gone : nullptr);

    const auto& message = parser.get();
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message)
      request.headers.emplace_back(field.name_string(), field.value());
    request.client_gone = client_gone;

    const bool trusted = header_value(request.headers, "Authorization").has_value() &&
                         authenticate(config_dir(), request.headers).has_value();
    SocketBody body(connection, connections, buffer, parser, client_gone);
    Reply reply =
        connections.header_read(connection, trusted, !parser.is_done())
            ? handle(context, request, body)
            : error_reply(503, std::nullopt, "too many requests without a token: try again");

    const bool body_read = parser.is_done();
    const bool keep_alive = body_read && message.keep_alive();
    http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
    for (auto& [name, value] : reply.headers) response.insert(name, value);
    response.body() = std::move(reply.body);
    response.keep_alive(keep_alive);
    // A 204 carries no body and so no Content-Length either.
    if (reply.status != 204) response.prepare_payload();
    http::response_serializer<http::string_body> serializer{response};
    // A HEAD reply has the same header and no body: the client would not read one.
    write_response(connection, connections, serializer, message.method() == http::verb::head, ec);
    if (ec) return;
    if (!keep_alive) {
      if (!body_read) linger(socket);
      return;
    }
  }
}

void serve_connection(std::shared_ptr<Connection> connection,
                      std::shared_ptr<Connections> connections,
                      std::shared_ptr<ServerContext> context, RequestHandler handle) {
  try {
    serve_requests(*connection, *connections, *context, handle);
  } catch (const std::exception&) {
    // Out of memory or threads for this request: it ends, the agent goes on.
  }
  connections->forget(*connection);
  boost::system::error_code ignored;
  connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
  connection->socket.close(ignored);
}

}  // namespace

void serve(tcp::acceptor& acceptor, std::shared_ptr<ServerContext> context, RequestHandler handle) {
  auto connections = std::make_shared<Connections>();
  try {
    std::thread([connections] { connections->watch(); }).detach();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "Could not start the connection watchdog: %s\n", e.what());
    return;
  }
  for (;;) {
    tcp::socket socket(acceptor.get_executor());
    boost::system::error_code ec;
    acceptor.accept(socket, ec);
    if (ec == boost::asio::error::connection_aborted || ec == boost::asio::error::interrupted)
      continue;
    if (ec && platform::accept_error_is_temporary(ec)) {
      // Out of descriptors or memory: an idle connection makes room, and the system gets a moment
      // before the next try instead of a busy loop.
      connections->make_room();
      continue;
    }
    if (ec) {
      std::fprintf(stderr, "Could not accept connections: %s\n", ec.message().c_str());
      return;
    }
    platform::keep_from_children(socket);
    auto connection = std::make_shared<Connection>(std::move(socket));
    if (!connections->admit(connection)) continue;  // refused: closed right here
    try {
      std::thread(serve_connection, connection, connections, context, handle).detach();
    } catch (const std::system_error&) {
      // No thread can be started now: this connection is refused, the others go on.
      connections->forget(*connection);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace vellora
