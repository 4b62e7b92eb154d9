#include "platform/crypto.h"

#include "common/text.h"

namespace vellora::platform {

std::string sha256_hex(std::string_view bytes) {
  const Digest digest = sha256(bytes);
  return hex_lower(digest.data(), digest.size());
}

std::uint32_t random_u32() {
  unsigned char bytes[4];
  random_bytes(bytes, sizeof bytes);
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace vellora::platform
