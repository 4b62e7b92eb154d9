#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

inline constexpr std::size_t MAX_BODY_BYTES = std::size_t{256} << 20;
// Routes that anyone may call without a token get no more than this.
inline constexpr std::size_t MAX_UNAUTHENTICATED_BODY_BYTES = 64 * 1024;

// Reads the body (at most `limit` bytes) and parses it as one JSON value while it arrives: the
// body is never held as text, only as the parsed value.
std::expected<json::value, std::string> read_json_body(BodySource& source,
                                                       std::size_t limit = MAX_BODY_BYTES);

}  // namespace vellora
