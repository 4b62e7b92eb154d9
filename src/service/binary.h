#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace vellora {

// An executable's sibling with its extension replaced: "new" (staging copy), "old" (the displaced
// executable) and "prev" (the saved previous version).
std::filesystem::path sibling(const std::filesystem::path& executable, std::string_view extension);

// What a file held open by another program makes an update or rollback say.
inline constexpr std::string_view PROGRAM_IN_USE = "the program is in use; close it and try again";

// Puts a copy of `source` at `target` through `target.new` (a leftover one is replaced), moving an
// existing target aside to `target.old`. The target is never left missing: if the last move
// fails, the old one comes back; a failed installation leaves no `new` behind.
std::expected<void, std::string> install_binary(const std::filesystem::path& source,
                                                const std::filesystem::path& target);

// The same, with the moves done by `move` (tests make it fail).
using MoveFunction = std::expected<void, platform::FileError> (*)(const std::filesystem::path&,
                                                                  const std::filesystem::path&);
std::expected<void, std::string> install_binary_with(MoveFunction move,
                                                     const std::filesystem::path& source,
                                                     const std::filesystem::path& target);

// Puts a copy of `source` at `target` in one replacing move, without moving the target aside: for
// a target that no longer runs while its `old` sibling may (on Windows the program that moved the
// running executable aside runs from `old`, which can be neither deleted nor replaced).
std::expected<void, std::string> replace_binary(const std::filesystem::path& source,
                                                const std::filesystem::path& target);

// Saves a copy of `executable` as its "prev" sibling, replacing the one saved before. The copy is
// written to a temporary file and renamed into place, so a failed save (a full disk) leaves the
// earlier "prev" whole, never a truncated one. Nothing to save when the executable is missing.
std::expected<void, std::string> save_previous_version(const std::filesystem::path& executable);

// Runs `<file> --version`; the line it printed, when it ran and answered as an agent
// ("vellora-agent ...") within the limit. The file is left as it is.
std::expected<std::string, std::string> agent_version_of(const std::filesystem::path& file,
                                                         std::chrono::milliseconds limit);

// The path as the user reads it: with "\" separators on Windows.
std::string display_path(const std::filesystem::path& path);

}  // namespace vellora
