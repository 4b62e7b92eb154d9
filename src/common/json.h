#pragma once

#include <boost/json.hpp>
#include <expected>
#include <string>
#include <string_view>

namespace vellora {

namespace json = boost::json;

// Parses exactly one JSON value; only blanks, tabs, CR and LF may follow it. The error names the
// problem with its line and column.
std::expected<json::value, std::string> parse_json(std::string_view text);

// Compact text with the keys of every object in ascending byte order.
std::string to_sorted_json(json::value value);

// Two-space indented text in the given key order, no trailing line end ("[]" and "{}" when empty).
std::string to_pretty_json(const json::value& value);

// How a decoding error names a value: "null", "boolean `true`", "string \"x\"", "map", ...
std::string describe_json(const json::value& value);

// A non-negative integer of the JSON value, when it is one.
std::optional<std::uint64_t> as_u64(const json::value& value);

}  // namespace vellora
