#include "http/body.h"

#include "common/json_stream.h"

namespace vellora {

std::expected<void, std::string> read_body_into(BodySource& source, const JsonFeed& feed,
                                                std::size_t limit) {
  const auto announced = source.announced_length();
  if (announced && *announced > limit) return std::unexpected(std::string("body too large"));
  std::uint64_t total = 0;
  bool too_large = false;
  std::optional<std::string> invalid;
  const auto read = source.read([&](std::string_view piece) {
    total += piece.size();
    if (total > limit) {
      too_large = true;
      return false;
    }
    if (!invalid) {
      if (auto fed = feed(piece); !fed) invalid = fed.error();
    }
    return true;
  });
  if (!read) return std::unexpected(read.error());
  if (too_large) return std::unexpected(std::string("body too large"));
  if (invalid) return std::unexpected("invalid JSON: " + *invalid);
  return {};
}

std::expected<json::value, std::string> read_json_body(BodySource& source, std::size_t limit,
                                                       std::vector<std::string>* repeated_keys) {
  JsonStreamParser parser(source.announced_length());
  const auto read = read_body_into(
      source, [&](std::string_view piece) { return parser.feed(piece); }, limit);
  if (!read) return std::unexpected(read.error());
  auto value = parser.finish();
  if (!value) return std::unexpected("invalid JSON: " + value.error());
  if (repeated_keys != nullptr) *repeated_keys = parser.repeated_keys();
  return std::move(*value);
}

}  // namespace vellora
