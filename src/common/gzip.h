#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <istream>
#include <string>
#include <string_view>

namespace vellora {

// Decompresses a gzip file's bytes; refuses output larger than `limit`.
std::expected<std::string, std::string> gunzip(std::string_view bytes, std::size_t limit);

// Decompresses a gzip stream read from `in` piece by piece and hands over each line (without its
// line end) while it goes, so that no more than a few buffers are ever held. Lines longer than
// `max_line` are handed over cut at that length. Stops early, without error, when `line` answers
// false; refuses output larger than `limit`.
std::expected<void, std::string> gunzip_lines(std::istream& in, std::size_t limit,
                                              std::size_t max_line,
                                              const std::function<bool(std::string_view)>& line);

}  // namespace vellora
