#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vellora {

// The per-user directories, resolved from the environment at every call. Windows follows its
// own variables (USERPROFILE, APPDATA, LOCALAPPDATA, with the XDG ones first when set); Linux
// follows the XDG rules (~/.config, ~/.cache), with the account's home directory from the
// password database when HOME is unset.
std::filesystem::path home_dir();
std::filesystem::path config_dir();
std::filesystem::path cache_dir();

// Creates a directory with its parents; when it lies in the config or cache directory, that
// directory is made accessible to the user alone.
void create_private_dirs(const std::filesystem::path& dir);

// Replaces a state file by writing a temporary file of a unique name beside it, flushing it to
// the disk and renaming it onto the target: readers see the old or the new whole file. On
// failure the target is unchanged, no temporary file is left, and the error says why.
std::expected<void, std::string> write_atomic(const std::filesystem::path& path,
                                              std::string_view bytes);

// Deletes a file, ignoring every error (a missing file included).
void remove_quietly(const std::filesystem::path& path);

}  // namespace vellora
