#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellora {

// The whole file as bytes; none when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);

}  // namespace vellora

namespace vellora {

// A path from UTF-8 text, on every platform (a plain std::string would be taken in the ANSI code
// page on Windows), with the platform's separators: "\\?\" paths on Windows take no "/".
inline std::filesystem::path utf8_path(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end())).make_preferred();
}

}  // namespace vellora

namespace vellora {

// True when `path` names `root` or lies below it, by their text (no link is followed).
bool is_within(const std::filesystem::path& path, const std::filesystem::path& root);

// True when the path's metadata can be read (it exists, following links).
bool metadata_readable(const std::filesystem::path& path);

}  // namespace vellora
