#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace vellora {

// Decompresses a gzip file's bytes; refuses output larger than `limit`.
std::expected<std::string, std::string> gunzip(std::string_view bytes, std::size_t limit);

}  // namespace vellora
