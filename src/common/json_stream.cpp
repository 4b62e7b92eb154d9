#include "common/json_stream.h"

#include <vector>

#include "common/json_event_stream.h"

namespace vellora {
namespace {

using boost::system::error_code;

// Strings of at least this size arriving in pieces get their final room reserved at once.
constexpr std::size_t LARGE_STRING = 16 * 1024;

// Builds the value tree from the parser's events. Duplicate keys keep the last value, as
// Boost.JSON's own parser does; where they were is noted.
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
  std::vector<std::string> repeated;

  static void append_token(std::string& pointer, std::string_view token) {
    pointer += '/';
    for (char c : token) pointer += c == '~' ? "~0" : c == '/' ? "~1" : std::string_view(&c, 1);
  }

  void note_repeated(const std::string& key) {
    if (repeated.size() >= JsonStreamParser::MAX_REPEATED_KEYS) return;
    std::string pointer;
    for (std::size_t i = 0; i + 1 < stack.size(); ++i) {
      if (const auto* array = stack[i].container.if_array())
        append_token(pointer, std::to_string(array->size()));
      else
        append_token(pointer, stack[i].key);
    }
    append_token(pointer, key);
    repeated.push_back(std::move(pointer));
  }

  void add(json::value value) {
    if (stack.empty()) {
      result = std::move(value);
    } else if (auto* array = stack.back().container.if_array()) {
      array->push_back(std::move(value));
    } else {
      Frame& frame = stack.back();
      if (!frame.container.get_object().insert_or_assign(frame.key, std::move(value)).second)
        note_repeated(frame.key);
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

}  // namespace

struct JsonStreamParser::Impl {
  explicit Impl(std::optional<std::uint64_t> hint) : size_hint(hint) {}

  JsonEventStream<TreeBuilder> stream;
  std::optional<std::uint64_t> size_hint;
};

JsonStreamParser::JsonStreamParser(std::optional<std::uint64_t> size_hint)
    : impl_(std::make_unique<Impl>(size_hint)) {}

JsonStreamParser::~JsonStreamParser() = default;

std::expected<void, std::string> JsonStreamParser::feed(std::string_view piece) {
  Impl& s = *impl_;
  const std::uint64_t consumed = s.stream.consumed();
  s.stream.handler().room = s.size_hint && *s.size_hint > consumed ? *s.size_hint - consumed : 0;
  return s.stream.feed(piece);
}

std::expected<json::value, std::string> JsonStreamParser::finish() {
  Impl& s = *impl_;
  if (auto done = s.stream.finish(); !done) return std::unexpected(done.error());
  return std::move(s.stream.handler().result);
}

const std::vector<std::string>& JsonStreamParser::repeated_keys() const {
  return impl_->stream.handler().repeated;
}

}  // namespace vellora
