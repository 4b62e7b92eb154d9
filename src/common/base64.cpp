#include "common/base64.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
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

// Decodes the final quartet, which may carry one or two "=" and whose unused bits must be zero.
// The number of bytes written, none when the quartet is invalid.
std::optional<std::size_t> decode_last_quartet(const unsigned char* q, unsigned char* o) {
  const std::size_t padding = q[3] != '=' ? 0 : q[2] == '=' ? 2 : 1;
  const std::uint32_t a = DECODE[q[0]], b = DECODE[q[1]];
  if ((a | b) & 0x80) return std::nullopt;
  if (padding == 2) {
    if ((b & 0x0F) != 0) return std::nullopt;
    *o = static_cast<unsigned char>((a << 2) | (b >> 4));
    return 1;
  }
  const std::uint32_t c = DECODE[q[2]];
  if (c & 0x80) return std::nullopt;
  if (padding == 1) {
    if ((c & 0x03) != 0) return std::nullopt;
    const std::uint32_t v = (a << 10) | (b << 4) | (c >> 2);
    o[0] = static_cast<unsigned char>(v >> 8);
    o[1] = static_cast<unsigned char>(v);
    return 2;
  }
  const std::uint32_t d = DECODE[q[3]];
  if (d & 0x80) return std::nullopt;
  const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
  o[0] = static_cast<unsigned char>(v >> 16);
  o[1] = static_cast<unsigned char>(v >> 8);
  o[2] = static_cast<unsigned char>(v);
  return 3;
}

std::size_t decode_plain_quartets_scalar(const unsigned char* in, std::size_t quartets,
                                        unsigned char* o) {
  std::size_t i = 0;
  for (; i < quartets; ++i, in += 4) {
    const std::uint32_t a = DECODE[in[0]], b = DECODE[in[1]], c = DECODE[in[2]], d = DECODE[in[3]];
    if ((a | b | c | d) & 0x80) break;
    const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    *o++ = static_cast<unsigned char>(v >> 16);
    *o++ = static_cast<unsigned char>(v >> 8);
    *o++ = static_cast<unsigned char>(v);
  }
  return i;
}

#if defined(__x86_64__)
// 32 characters at a time with AVX2 (the nibble-lookup method of Wojciech Mula and the aklomp
// base64 library): each block is validated, translated and packed into 24 bytes. A block holding
// anything else stops the loop; the scalar code then finds the exact place. Each store writes 32
// bytes, so the loop keeps three quartets in reserve: the 8 extra bytes land in room that later
// quartets own, and in place they land before the next block is read.
__attribute__((target("avx2"))) std::size_t decode_blocks_avx2(const unsigned char* in,
                                                               std::size_t quartets,
                                                               unsigned char* o) {
  const __m256i lut_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                          0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11,
                                          0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                          0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i lut_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
                                          0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                          0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0,
                                            0, 0);
  const __m256i mask_2f = _mm256_set1_epi8(0x2F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                        1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
  std::size_t done = 0;
  while (quartets - done >= 11) {
    __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask_2f);
    const __m256i lo_nibbles = _mm256_and_si256(text, mask_2f);
    const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
    const __m256i lo = _mm256_shuffle_epi8(lut_lo, lo_nibbles);
    if (!_mm256_testz_si256(lo, hi)) break;
    const __m256i is_slash = _mm256_cmpeq_epi8(text, mask_2f);
    const __m256i roll = _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(is_slash, hi_nibbles));
    text = _mm256_add_epi8(text, roll);
    const __m256i pairs = _mm256_maddubs_epi16(text, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), bytes);
    in += 32;
    o += 24;
    done += 8;
  }
  return done;
}

const bool HAS_AVX2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// Decodes whole quartets without padding; stops at the first one that is not plain base64.
// Returns the number of quartets decoded.
std::size_t decode_plain_quartets(const unsigned char* in, std::size_t quartets, unsigned char* o) {
  std::size_t done = 0;
#if defined(__x86_64__)
  if (HAS_AVX2) done = decode_blocks_avx2(in, quartets, o);
#endif
  return done + decode_plain_quartets_scalar(in + done * 4, quartets - done, o + done * 3);
}

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
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  auto* o = reinterpret_cast<unsigned char*>(out);
  const std::size_t body = text.size() / 4 - 1;
  if (decode_plain_quartets(in, body, o) != body) return std::nullopt;
  const auto last = decode_last_quartet(in + body * 4, o + body * 3);
  if (!last) return std::nullopt;
  return body * 3 + *last;
}

std::optional<std::size_t> Base64Decoder::feed(std::string_view text, char* out) {
  if (failed_) return std::nullopt;
  if (text.empty()) return 0;
  if (padded_) {
    failed_ = true;
    return std::nullopt;
  }
  auto* o = reinterpret_cast<unsigned char*>(out);
  std::size_t written = 0;
  // One quartet that is not plain base64 ends the text: it must be the padded last one.
  const auto take_special = [&](const unsigned char* q) {
    const auto n = decode_last_quartet(q, o + written);
    if (!n || q[3] != '=') return false;
    written += *n;
    padded_ = true;
    return true;
  };
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  if (pending_size_ > 0) {
    const std::size_t take = std::min(4 - pending_size_, size);
    std::memcpy(pending_ + pending_size_, in, take);
    pending_size_ += take;
    in += take;
    size -= take;
    if (pending_size_ < 4) return 0;
    pending_size_ = 0;
    const auto* q = reinterpret_cast<const unsigned char*>(pending_);
    if (decode_plain_quartets(q, 1, o) == 1) {
      written += 3;
    } else if (!take_special(q) || size > 0) {
      failed_ = true;
      return std::nullopt;
    }
  }
  const std::size_t quartets = size / 4;
  const std::size_t plain = decode_plain_quartets(in, quartets, o + written);
  written += plain * 3;
  if (plain < quartets) {
    // Only the very last character group of the text may differ, and only as padding.
    if (plain + 1 != quartets || size % 4 != 0 || !take_special(in + plain * 4)) {
      failed_ = true;
      return std::nullopt;
    }
    return written;
  }
  pending_size_ = size % 4;
  std::memcpy(pending_, in + quartets * 4, pending_size_);
  return written;
}

}  // namespace vellora
