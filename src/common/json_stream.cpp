#include "common/json_stream.h"

#include <boost/json/basic_parser_impl.hpp>
#include <vector>

namespace vellora {
namespace {

using boost::system::error_code;

// Strings of at least this size arriving in pieces get their final room reserved at once.
constexpr std::size_t LARGE_STRING = 16 * 1024;

// Builds the value tree from the parser's events. Duplicate keys keep the last value, as
// Boost.JSON's own parser does.
struct TreeBuilder {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  struct Frame {
    json::value container;
    std::string key;
  };

  std::vector<Frame> stack;
  json::value result;
  json::string text;       // a string arriving in pieces
  std::string key_text;    // a key arriving in pieces
  std::uint64_t room = 0;  // input left to come, an upper bound for a string's size

  void add(json::value value) {
    if (stack.empty()) {
      result = std::move(value);
    } else if (auto* array = stack.back().container.if_array()) {
      array->push_back(std::move(value));
    } else {
      stack.back().container.get_object().insert_or_assign(stack.back().key, std::move(value));
    }
  }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) {
    stack.push_back({json::object(), {}});
    return true;
  }
  bool on_object_end(std::size_t, error_code&) { return close(); }
  bool on_array_begin(error_code&) {
    stack.push_back({json::array(), {}});
    return true;
  }
  bool on_array_end(std::size_t, error_code&) { return close(); }
  bool close() {
    json::value done = std::move(stack.back().container);
    stack.pop_back();
    add(std::move(done));
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, error_code&) {
    key_text.append(s.data(), s.size());
    return true;
  }
  bool on_key(json::string_view s, std::size_t, error_code&) {
    key_text.append(s.data(), s.size());
    stack.back().key = std::move(key_text);
    key_text.clear();
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, error_code&) {
    const std::size_t needed = text.size() + s.size();
    if (needed >= LARGE_STRING && needed > text.capacity() && room > s.size()) {
      const std::uint64_t bound =
          std::min<std::uint64_t>(text.size() + room, json::string::max_size());
      text.reserve(static_cast<std::size_t>(bound));
    }
    text.append(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, error_code&) {
    if (text.empty()) {
      add(json::value(s));
    } else {
      text.append(s);
      add(json::value(std::move(text)));
      text = json::string();
    }
    return true;
  }
  bool on_number_part(json::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t i, json::string_view, error_code&) {
    add(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, error_code&) {
    add(u);
    return true;
  }
  bool on_double(double d, json::string_view, error_code&) {
    add(d);
    return true;
  }
  bool on_bool(bool b, error_code&) {
    add(b);
    return true;
  }
  bool on_null(error_code&) {
    add(nullptr);
    return true;
  }
  bool on_comment_part(json::string_view, error_code&) { return false; }
  bool on_comment(json::string_view, error_code&) { return false; }
};

json::parse_options options() {
  json::parse_options o;
  o.max_depth = 64;
  return o;
}

}  // namespace

struct JsonStreamParser::Impl {
  explicit Impl(std::optional<std::uint64_t> hint) : parser(options()), size_hint(hint) {}

  json::basic_parser<TreeBuilder> parser;
  std::optional<std::uint64_t> size_hint;
  std::uint64_t consumed = 0;
  std::size_t line = 1, column = 0;
  std::optional<std::string> error;

  void advance(std::string_view bytes) {
    for (char c : bytes) {
      if (c == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    consumed += bytes.size();
  }

  std::string where() const {
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  }

  std::expected<void, std::string> fail(std::string message) {
    error = message;
    return std::unexpected(std::move(message));
  }
};

JsonStreamParser::JsonStreamParser(std::optional<std::uint64_t> size_hint)
    : impl_(std::make_unique<Impl>(size_hint)) {}

JsonStreamParser::~JsonStreamParser() = default;

std::expected<void, std::string> JsonStreamParser::feed(std::string_view piece) {
  Impl& s = *impl_;
  if (s.error) return std::unexpected(*s.error);
  if (!s.parser.done()) {
    s.parser.handler().room =
        s.size_hint && *s.size_hint > s.consumed ? *s.size_hint - s.consumed : 0;
    error_code ec;
    const std::size_t used = s.parser.write_some(true, piece.data(), piece.size(), ec);
    s.advance(piece.substr(0, used));
    if (ec) return s.fail(ec.message() + s.where());
    piece.remove_prefix(used);
  }
  const auto extra = piece.find_first_not_of(" \t\r\n");
  if (extra != std::string_view::npos) {
    s.advance(piece.substr(0, extra + 1));
    return s.fail("trailing characters" + s.where());
  }
  s.advance(piece);
  return {};
}

std::expected<json::value, std::string> JsonStreamParser::finish() {
  Impl& s = *impl_;
  if (s.error) return std::unexpected(*s.error);
  if (!s.parser.done()) {
    error_code ec;
    s.parser.write_some(false, nullptr, 0, ec);
    if (ec) return std::unexpected(ec.message() + s.where());
  }
  return std::move(s.parser.handler().result);
}

}  // namespace vellora
