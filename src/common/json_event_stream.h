#pragma once

#include <boost/json/basic_parser_impl.hpp>
#include <cstddef>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/json.h"

namespace vellora {

// Feeds a JSON text that arrives in pieces to an event handler (Boost.JSON's `basic_parser`
// handler interface), so a body never has to exist as one text. After the value only blanks,
// tabs, CR and LF may follow. Errors name the line and column reached.
template <class Handler>
class JsonEventStream {
 public:
  template <class... Args>
  explicit JsonEventStream(Args&&... args) : parser_(options(), std::forward<Args>(args)...) {}

  Handler& handler() { return parser_.handler(); }
  std::uint64_t consumed() const { return consumed_; }

  std::expected<void, std::string> feed(std::string_view piece) {
    if (error_) return std::unexpected(*error_);
    if (!parser_.done()) {
      boost::system::error_code ec;
      const std::size_t used = parser_.write_some(true, piece.data(), piece.size(), ec);
      advance(piece.substr(0, used));
      if (ec) return fail(ec.message() + where());
      piece.remove_prefix(used);
    }
    const auto extra = piece.find_first_not_of(" \t\r\n");
    if (extra != std::string_view::npos) {
      advance(piece.substr(0, extra + 1));
      return fail("trailing characters" + where());
    }
    advance(piece);
    return {};
  }

  std::expected<void, std::string> finish() {
    if (error_) return std::unexpected(*error_);
    if (!parser_.done()) {
      boost::system::error_code ec;
      parser_.write_some(false, nullptr, 0, ec);
      if (ec) return fail(ec.message() + where());
    }
    return {};
  }

 private:
  static json::parse_options options() {
    json::parse_options o;
    o.max_depth = 64;
    return o;
  }

  void advance(std::string_view bytes) {
    consumed_ += bytes.size();
    // memchr rather than std::count: a body is mostly one long line, and this runs over every
    // byte of every upload.
    const char* const end = bytes.data() + bytes.size();
    const char* last = nullptr;
    for (const char* at = bytes.data();
         at != end && (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr;
         ++at) {
      ++line_;
      last = at;
    }
    column_ = last == nullptr ? column_ + bytes.size() : static_cast<std::size_t>(end - last - 1);
  }

  std::string where() const {
    return " at line " + std::to_string(line_) + " column " + std::to_string(column_);
  }

  std::expected<void, std::string> fail(std::string message) {
    error_ = message;
    return std::unexpected(std::move(message));
  }

  json::basic_parser<Handler> parser_;
  std::uint64_t consumed_ = 0;
  std::size_t line_ = 1, column_ = 0;
  std::optional<std::string> error_;
};

}  // namespace vellora
