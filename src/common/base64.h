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

// The same strict decoding for a text that arrives in pieces: an upload is decoded while it
// arrives and never held whole.
class Base64Decoder {
 public:
  // Room `out` needs for the next piece of `text_size` characters.
  static constexpr std::size_t max_output(std::size_t text_size) {
    return (text_size + 3) / 4 * 3;
  }
  // Decodes what the piece completes into `out`; the number of bytes written, none once the text
  // is known to be invalid (the decoder then stays failed).
  std::optional<std::size_t> feed(std::string_view text, char* out);
  // Whether the whole text was valid base64.
  bool finish() const { return !failed_ && pending_size_ == 0; }

 private:
  char pending_[4] = {};
  std::size_t pending_size_ = 0;
  bool padded_ = false;  // the padded last quartet was seen: nothing may follow
  bool failed_ = false;
};

}  // namespace vellora
