#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Trims Unicode white space (ASCII blanks and the Unicode space separators) from both ends.
std::string_view trim(std::string_view text);

std::string to_lower_ascii(std::string_view text);
bool iequals_ascii(std::string_view a, std::string_view b);
bool is_ascii_alnum(char c);
bool is_hex_digit(char c);

// Splits at "\n" and drops one trailing "\r" of every line; a final empty piece is dropped.
std::vector<std::string_view> split_lines(std::string_view text);
std::vector<std::string_view> split(std::string_view text, char separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

std::string hex_lower(const unsigned char* data, std::size_t size);

// The first `count` Unicode scalar values of a UTF-8 text.
std::string first_chars(std::string_view utf8, std::size_t count);

}  // namespace vellora
