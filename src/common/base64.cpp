#include "common/base64.h"

#include <array>
#include <cstdint>

namespace vellora {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t INVALID = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = INVALID;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(ALPHABET[i])] = i;
  return table;
}

constexpr auto DECODE = make_decode_table();

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *o++ = ALPHABET[v >> 18];
    *o++ = ALPHABET[(v >> 12) & 63];
    *o++ = ALPHABET[(v >> 6) & 63];
    *o++ = ALPHABET[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = in[i] << 16;
    if (rest == 2) v |= in[i + 1] << 8;
    *o++ = ALPHABET[v >> 18];
    *o++ = ALPHABET[(v >> 12) & 63];
    *o++ = rest == 2 ? ALPHABET[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  std::string out;
  out.resize(text.size() / 4 * 3);
  const auto size = base64_decode_into(text, out.data());
  if (!size) return std::nullopt;
  out.resize(*size);
  return out;
}

std::optional<std::size_t> base64_decode_into(std::string_view text, char* out) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  std::size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  const std::size_t size = text.size() / 4 * 3 - padding;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  auto* o = reinterpret_cast<unsigned char*>(out);
  const std::size_t full = text.size() - (padding ? 4 : 0);
  for (std::size_t i = 0; i < full; i += 4) {
    const std::uint32_t a = DECODE[in[i]], b = DECODE[in[i + 1]], c = DECODE[in[i + 2]],
                        d = DECODE[in[i + 3]];
    if ((a | b | c | d) & 0x80) return std::nullopt;
    const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    *o++ = static_cast<unsigned char>(v >> 16);
    *o++ = static_cast<unsigned char>(v >> 8);
    *o++ = static_cast<unsigned char>(v);
  }
  if (padding) {
    const unsigned char* q = in + full;
    const std::uint32_t a = DECODE[q[0]], b = DECODE[q[1]];
    if ((a | b) & 0x80) return std::nullopt;
    if (padding == 2) {
      if ((b & 0x0F) != 0) return std::nullopt;
      *o = static_cast<unsigned char>((a << 2) | (b >> 4));
    } else {
      const std::uint32_t c = DECODE[q[2]];
      if ((c & 0x80) || (c & 0x03) != 0) return std::nullopt;
      const std::uint32_t v = (a << 10) | (b << 4) | (c >> 2);
      o[0] = static_cast<unsigned char>(v >> 8);
      o[1] = static_cast<unsigned char>(v);
    }
  }
  return size;
}

}  // namespace vellora
