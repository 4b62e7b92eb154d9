#include "common/json_stream.h"

#include <atomic>
#include <charconv>
#include <new>
#include <vector>

#include "common/json_event_stream.h"

namespace vellora {
namespace {

using boost::system::error_code;

// The most a value tree may hold: this many times its text, plus a little for the pieces under
// way. A request's tree is its text with a handful of bytes of bookkeeping per value; a text of
// tiny values that would cost several times more is no request of this agent.
constexpr std::size_t TREE_BYTES_PER_TEXT_BYTE = 3;
constexpr std::size_t TREE_SLACK_BYTES = std::size_t{1} << 20;

// Counts the bytes the tree holds, so that a text whose values cost far more than their text
// ("[0,0,0,...]": 2 bytes of text, 16 of value each) is refused instead of filling the memory. The
// count is shared: the tree (and so this resource) may outlive the parse.
class CountingResource final : public json::memory_resource {
 public:
  explicit CountingResource(std::shared_ptr<std::atomic<std::size_t>> used)
      : used_(std::move(used)) {}

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    void* p = ::operator new(bytes, std::align_val_t(alignment));
    used_->fetch_add(bytes, std::memory_order_relaxed);
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    used_->fetch_sub(bytes, std::memory_order_relaxed);
    ::operator delete(p, bytes, std::align_val_t(alignment));
  }
  bool do_is_equal(const json::memory_resource& other) const noexcept override {
    return this == &other;
  }
  std::shared_ptr<std::atomic<std::size_t>> used_;
};

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

  // Every value of the tree lives in this storage, which counts what it holds.
  std::shared_ptr<std::atomic<std::size_t>> used = std::make_shared<std::atomic<std::size_t>>(0);
  json::storage_ptr storage = json::make_shared_resource<CountingResource>(used);
  std::size_t budget = 0;  // the most the tree may hold now
  bool over_budget = false;

  std::vector<Frame> stack;
  json::value result;
  json::string text;        // a string arriving in pieces
  std::string key_text;     // a key arriving in pieces
  std::string number_text;  // a number arriving in pieces
  std::vector<std::string> repeated;

  TreeBuilder() : result(storage), text(storage) {}

  // False, and the parse ends, once the tree holds more than its budget.
  bool within_budget(error_code& ec) {
    if (used->load(std::memory_order_relaxed) <= budget) return true;
    over_budget = true;
    ec = json::error::exception;
    return false;
  }

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
  bool on_object_begin(error_code& ec) {
    stack.push_back({json::object(storage), {}});
    return within_budget(ec);
  }
  bool on_object_end(std::size_t, error_code& ec) { return close(ec); }
  bool on_array_begin(error_code& ec) {
    stack.push_back({json::array(storage), {}});
    return within_budget(ec);
  }
  bool on_array_end(std::size_t, error_code& ec) { return close(ec); }
  bool close(error_code& ec) {
    json::value done = std::move(stack.back().container);
    stack.pop_back();
    add(std::move(done));
    return within_budget(ec);
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
  bool on_string_part(json::string_view s, std::size_t, error_code& ec) {
    text.append(s);
    return within_budget(ec);
  }
  bool on_string(json::string_view s, std::size_t, error_code& ec) {
    if (text.empty()) {
      add(json::value(s, storage));
    } else {
      text.append(s);
      add(json::value(std::move(text)));
      text = json::string(storage);
    }
    return within_budget(ec);
  }
  // A number's text is gathered whole and converted here: the parser's own conversion of a number
  // that arrived in two pieces can differ in its last digits from that of the same number whole.
  bool on_number_part(json::string_view s, error_code&) {
    number_text.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, error_code& ec) {
    number_text.clear();
    add(json::value(i, storage));
    return within_budget(ec);
  }
  bool on_uint64(std::uint64_t u, json::string_view, error_code& ec) {
    number_text.clear();
    add(json::value(u, storage));
    return within_budget(ec);
  }
  bool on_double(double d, json::string_view s, error_code& ec) {
    number_text.append(s.data(), s.size());
    double exact = 0;
    const char* const end = number_text.data() + number_text.size();
    const auto converted = std::from_chars(number_text.data(), end, exact);
    // Out of range, the parser's value (an infinity or a zero) stands.
    if (converted.ec == std::errc() && converted.ptr == end) d = exact;
    number_text.clear();
    add(json::value(d, storage));
    return within_budget(ec);
  }
  bool on_bool(bool b, error_code& ec) {
    add(json::value(b, storage));
    return within_budget(ec);
  }
  bool on_null(error_code& ec) {
    add(json::value(nullptr, storage));
    return within_budget(ec);
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
  TreeBuilder& tree = s.stream.handler();
  tree.budget = static_cast<std::size_t>(
      TREE_BYTES_PER_TEXT_BYTE * (s.stream.consumed() + piece.size()) + TREE_SLACK_BYTES);
  auto fed = s.stream.feed(piece);
  if (!fed && tree.over_budget)
    return std::unexpected(std::string("too many values for the size of the text"));
  return fed;
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
