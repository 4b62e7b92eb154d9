#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// 1 to 200 bytes of letters, digits, ".", "_", "-", not starting with "."; one directory name.
bool valid_project_id(std::string_view id);

// 1 to 400 bytes, "/"-separated, no empty, ".", ".." or "-"-leading segment, no "\" or ":", no
// control character, not absolute: every such path stays inside the work directory.
bool valid_relative_path(std::string_view path);

// A main file name that is safe as a job name: latexmk hands it to a shell inside double quotes
// and cmd sees it on Windows, so nothing either of them (or TeX) treats specially may appear.
// Letters of any script, digits, space and . - _ + , = @ ' ( ) [ ] and "/" between folders.
bool valid_main_file_name(std::string_view path);

// Paths the agent keeps for itself in a work directory: the tools' output folder "_out" and the
// manifest's names, ".vellora-manifest.*" (compared without regard to ASCII case, as Windows
// would).
bool is_reserved_project_path(std::string_view path);

// Why Windows could not hold this project path faithfully: a character it forbids, a device name
// (CON, NUL, COM1, ... with or without an extension), a trailing dot or space. None when it can.
std::optional<std::string> windows_path_problem(std::string_view path);

// The first problem Windows would have with a set of project paths: one path's own, or two paths
// (or a file and a folder) that differ only in letter case and so would land on one file.
std::optional<std::string> windows_paths_problem(const std::vector<std::string>& paths);

// The first segment of a path too long for one name in a folder: more than 255 bytes, or on
// Windows more than 255 UTF-16 units. None when every segment fits.
std::optional<std::string_view> over_long_segment(std::string_view path);

// The last "/"-separated segment.
std::string_view last_segment(std::string_view path);

}  // namespace vellora
