#pragma once

#include <filesystem>

namespace vellora::platform {

// True when the path itself (not what it points to) is a symbolic link, or on Windows any reparse
// point (symbolic link, junction, mount point): something that would lead a file operation
// elsewhere.
bool is_link(const std::filesystem::path& path);

// Removes the link itself, never its target. False when it could not be removed.
bool remove_link(const std::filesystem::path& path);

// True when a read-only file cannot be opened for writing by this process (and so by the tools it
// starts): on POSIX unless the process runs as root; never on Windows, where read-only files are
// left writable so that they can be replaced.
bool read_only_files_protected();

}  // namespace vellora::platform
