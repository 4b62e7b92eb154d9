#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vellora {

// Standard RFC 4648 alphabet with "=" padding.
std::string base64_encode(std::string_view bytes);

// Strict decoding: padding required (length a multiple of 4), no white space, and the unused
// low bits of the last symbol must be zero. None on any violation.
std::optional<std::string> base64_decode(std::string_view text);

// The same into `out`, which may be `text.data()` itself (the bytes are never longer than the
// text and are written behind the reading position). The number of bytes written.
std::optional<std::size_t> base64_decode_into(std::string_view text, char* out);

}  // namespace vellora
