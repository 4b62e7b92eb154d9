#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vellora {

// What a compile sends back at most of one output file (PDF, SyncTeX, bibliography).
inline constexpr std::uintmax_t MAX_OUTPUT_BYTES = std::uintmax_t{200} << 20;

// How much of a log is kept: its first and its last bytes.
inline constexpr std::size_t LOG_HEAD_BYTES = std::size_t{1} << 20;
inline constexpr std::size_t LOG_TAIL_BYTES = std::size_t{7} << 20;

// One file the engine left. A link is never followed: the engine made it, and it could point at
// anything the user can read.
struct OutputFile {
  std::optional<std::string> bytes;  // none when absent, unreadable, a link or too large
  std::uintmax_t too_large = 0;      // the size when it was over the limit
};
OutputFile read_output_file(const std::filesystem::path& path,
                            std::uintmax_t limit = MAX_OUTPUT_BYTES);

// A log of any size as at most head + tail bytes plus one line: its start, a line saying how many
// bytes were left out, its end. Cuts fall between UTF-8 characters. None when absent, unreadable
// or a link.
std::optional<std::string> read_log_bounded(const std::filesystem::path& path,
                                            std::size_t head = LOG_HEAD_BYTES,
                                            std::size_t tail = LOG_TAIL_BYTES);

}  // namespace vellora
