#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vellora {

// 64 lower-case hexadecimal digits of the SHA-256 of the text's bytes.
std::string token_hash(std::string_view token);

// Compares every byte (no early exit), so the time taken does not tell where a guess went wrong.
bool constant_time_equal(std::string_view a, std::string_view b);

// Keeps ASCII letters and digits, upper-cased: "abcd efgh-ijkl" and "ABCD-EFGH-IJKL" are equal.
std::string normalize_code(std::string_view code);

// Unix time in whole seconds; 0 before 1970.
std::uint64_t now_secs();

}  // namespace vellora
