#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vellora {

// An executable's sibling with its extension replaced: "new" (staging copy), "old" (the displaced
// executable) and "prev" (the saved previous version).
std::filesystem::path sibling(const std::filesystem::path& executable, std::string_view extension);

// Puts a copy of `source` at `target` through `target.new`, moving an existing target aside to
// `target.old`. The target is never left missing: if the last move fails, the old one comes back.
std::expected<void, std::string> install_binary(const std::filesystem::path& source,
                                                const std::filesystem::path& target);

// The same, with the renames done by `rename` (tests make it fail).
using RenameFunction = void (*)(const std::filesystem::path&, const std::filesystem::path&,
                                std::error_code&);
std::expected<void, std::string> install_binary_with(RenameFunction rename,
                                                     const std::filesystem::path& source,
                                                     const std::filesystem::path& target);

// The path as the user reads it: with "\" separators on Windows.
std::string display_path(const std::filesystem::path& path);

}  // namespace vellora
