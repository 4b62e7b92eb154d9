#pragma once

#include <filesystem>
#include <string_view>

namespace vellora {

// The per-user directories, resolved from the environment at every call.
std::filesystem::path home_dir();
std::filesystem::path config_dir();
std::filesystem::path cache_dir();

// Replaces a state file by writing "<name>.tmp" beside it, flushing it to the disk and renaming it
// onto the target: readers see the old or the new whole file. Errors are swallowed.
void write_atomic(const std::filesystem::path& path, std::string_view bytes);

// Deletes a file, ignoring every error (a missing file included).
void remove_quietly(const std::filesystem::path& path);

}  // namespace vellora
