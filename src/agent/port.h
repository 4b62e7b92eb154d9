#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {

inline constexpr std::uint16_t DEFAULT_PORT = 47474;

// VELLORA_AGENT_PORT when it is a plain decimal 0..65535 (one optional leading "+"), else 47474.
std::uint16_t agent_port();
std::optional<std::uint16_t> parse_port(std::string_view text);

// The built-in origins, then the VELLORA_ORIGINS entries (trimmed, trailing "/" removed).
std::vector<std::string> allowed_origins();
std::vector<std::string> origins_with_extra(std::string_view extra);

// VELLORA_SITE when set, else the editor's production origin.
std::string site_origin();

}  // namespace vellora
