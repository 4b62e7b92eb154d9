#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

inline constexpr std::size_t MAX_BODY_BYTES = std::size_t{256} << 20;

// Reads the body (at most 256 MiB) and parses it as one JSON value. The raw bytes are released
// before this returns, so a large upload is held once as text and once as the parsed value only
// while parsing.
std::expected<json::value, std::string> read_json_body(BodySource& source);

}  // namespace vellora
