#pragma once

#include <filesystem>
#include <string_view>

namespace vellora::platform {

// Creates or truncates the file, writes all bytes and flushes them to the disk before closing,
// so that a rename published afterwards never exposes an empty or partial file after a crash.
bool write_file_durable(const std::filesystem::path& path, std::string_view bytes);

// Makes a file read-only for everyone where the system has such permissions (POSIX); a no-op on
// Windows, where a read-only file could no longer be deleted or replaced by the usual calls.
void make_read_only(const std::filesystem::path& path);

}  // namespace vellora::platform
