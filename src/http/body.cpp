#include "http/body.h"

namespace vellora {

std::expected<json::value, std::string> read_json_body(BodySource& source) {
  auto bytes = source.read(MAX_BODY_BYTES);
  if (!bytes) return std::unexpected(bytes.error());
  std::string text = std::move(*bytes);
  auto parsed = parse_json(text);
  std::string().swap(text);
  if (!parsed) return std::unexpected("invalid JSON: " + parsed.error());
  return std::move(*parsed);
}

}  // namespace vellora
