#pragma once

#include <filesystem>
#include <string_view>

namespace vellora::platform {

// Creates or truncates the file, writes all bytes and flushes them to the disk before closing,
// so that a rename published afterwards never exposes an empty or partial file after a crash.
bool write_file_durable(const std::filesystem::path& path, std::string_view bytes);

}  // namespace vellora::platform
