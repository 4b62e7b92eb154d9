#include "http/body.h"

#include "common/json_stream.h"

namespace vellora {

std::expected<json::value, std::string> read_json_body(BodySource& source, std::size_t limit) {
  const auto announced = source.announced_length();
  if (announced && *announced > limit) return std::unexpected(std::string("body too large"));
  JsonStreamParser parser(announced);
  std::uint64_t total = 0;
  bool too_large = false;
  std::optional<std::string> invalid;
  const auto read = source.read([&](std::string_view piece) {
    total += piece.size();
    if (total > limit) {
      too_large = true;
      return false;
    }
    // After a syntax error the rest is still read (a larger body must still say "too large").
    if (!invalid) {
      if (auto fed = parser.feed(piece); !fed) invalid = fed.error();
    }
    return true;
  });
  if (!read) return std::unexpected(read.error());
  if (too_large) return std::unexpected(std::string("body too large"));
  if (invalid) return std::unexpected("invalid JSON: " + *invalid);
  auto value = parser.finish();
  if (!value) return std::unexpected("invalid JSON: " + value.error());
  return std::move(*value);
}

}  // namespace vellora
