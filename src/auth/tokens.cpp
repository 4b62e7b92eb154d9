#include "auth/tokens.h"

#include <chrono>

#include "common/text.h"
#include "platform/crypto.h"

namespace vellora {

std::string token_hash(std::string_view token) {
  return platform::sha256_hex(token);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
  return diff == 0;
}

std::string normalize_code(std::string_view code) {
  std::string out;
  for (char c : code) {
    if (!is_ascii_alnum(c)) continue;
    out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

std::uint64_t now_secs() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

}  // namespace vellora
