#include "agent/port.h"

#include "common/text.h"
#include "platform/env.h"

namespace vellora {
namespace {

constexpr std::string_view DEFAULT_SITE = "https://vellora.app";

constexpr std::string_view BUILT_IN_ORIGINS[] = {
    DEFAULT_SITE,
    "https://www.vellora.app",
    "https://editor.vellora.app",
    "http://localhost:3000",
    "http://127.0.0.1:3000",
    "http://localhost:3012",
    "http://127.0.0.1:3012",
};

}  // namespace

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::uint16_t agent_port() {
  const auto value = platform::get_env("VELLORA_AGENT_PORT");
  if (!value || !value->valid_unicode) return DEFAULT_PORT;
  return parse_port(value->text).value_or(DEFAULT_PORT);
}

std::vector<std::string> origins_with_extra(std::string_view extra) {
  std::vector<std::string> origins(std::begin(BUILT_IN_ORIGINS), std::end(BUILT_IN_ORIGINS));
  for (std::string_view piece : split(extra, ',')) {
    piece = trim(piece);
    while (piece.ends_with('/')) piece.remove_suffix(1);
    if (!piece.empty()) origins.emplace_back(piece);
  }
  return origins;
}

std::vector<std::string> allowed_origins() {
  const auto extra = platform::get_env("VELLORA_ORIGINS");
  return origins_with_extra(extra && extra->valid_unicode ? extra->text : std::string());
}

std::string site_origin() {
  const auto site = platform::get_env("VELLORA_SITE");
  if (site && site->valid_unicode) return site->text;
  return std::string(DEFAULT_SITE);
}

}  // namespace vellora
