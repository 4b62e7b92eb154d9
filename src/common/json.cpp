#include "common/json.h"

#include <algorithm>
#include <vector>

#include "common/json_stream.h"

namespace vellora {
namespace {

void sort_keys(json::value& value) {
  if (auto* array = value.if_array()) {
    for (auto& element : *array) sort_keys(element);
  } else if (auto* object = value.if_object()) {
    std::vector<std::pair<std::string, json::value>> members;
    members.reserve(object->size());
    for (auto& member : *object) {
      sort_keys(member.value());
      members.emplace_back(std::string(member.key()), std::move(member.value()));
    }
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    object->clear();
    for (auto& [key, v] : members) object->emplace(key, std::move(v));
  }
}

void pretty(const json::value& value, std::string& out, std::size_t depth) {
  const auto indent = [&](std::size_t d) { out.append(2 * d, ' '); };
  if (const auto* array = value.if_array()) {
    if (array->empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < array->size(); ++i) {
      indent(depth + 1);
      pretty((*array)[i], out, depth + 1);
      out += i + 1 < array->size() ? ",\n" : "\n";
    }
    indent(depth);
    out += ']';
  } else if (const auto* object = value.if_object()) {
    if (object->empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    std::size_t i = 0;
    for (const auto& member : *object) {
      indent(depth + 1);
      out += json::serialize(json::value(member.key()));
      out += ": ";
      pretty(member.value(), out, depth + 1);
      out += ++i < object->size() ? ",\n" : "\n";
    }
    indent(depth);
    out += '}';
  } else {
    out += json::serialize(value);
  }
}

}  // namespace

std::expected<json::value, std::string> parse_json(std::string_view text) {
  JsonStreamParser parser(text.size());
  if (auto fed = parser.feed(text); !fed) return std::unexpected(fed.error());
  return parser.finish();
}

std::string to_sorted_json(json::value value) {
  sort_keys(value);
  return json::serialize(value);
}

std::string to_pretty_json(const json::value& value) {
  std::string out;
  pretty(value, out, 0);
  return out;
}

std::string describe_json(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return "null";
    case json::kind::bool_:
      return std::string("boolean `") + (value.get_bool() ? "true" : "false") + "`";
    case json::kind::int64:
      return "integer `" + std::to_string(value.get_int64()) + "`";
    case json::kind::uint64:
      return "integer `" + std::to_string(value.get_uint64()) + "`";
    case json::kind::double_:
      return "floating point `" + json::serialize(value) + "`";
    case json::kind::string:
      return "string " + json::serialize(value);
    case json::kind::array:
      return "sequence";
    case json::kind::object:
      return "map";
  }
  return "value";
}

std::optional<std::uint64_t> as_u64(const json::value& value) {
  if (value.is_uint64()) return value.get_uint64();
  if (value.is_int64() && value.get_int64() >= 0)
    return static_cast<std::uint64_t>(value.get_int64());
  return std::nullopt;
}

}  // namespace vellora
