#pragma once

#include <string_view>

namespace vellora {

// 1 to 200 bytes of letters, digits, ".", "_", "-", not starting with "."; one directory name.
bool valid_project_id(std::string_view id);

// 1 to 400 bytes, "/"-separated, no empty, ".", ".." or "-"-leading segment, no "\" or ":", no
// control character, not absolute: every such path stays inside the work directory.
bool valid_relative_path(std::string_view path);

// The last "/"-separated segment.
std::string_view last_segment(std::string_view path);

}  // namespace vellora
