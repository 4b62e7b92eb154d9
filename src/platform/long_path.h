#pragma once

#include <filesystem>

namespace vellora::platform {

// The form of a path that the agent's own file operations use so that paths longer than the old
// 260-character limit work even where the system ignores the manifest's longPathAware setting.
// Windows: the absolute, normalised path with the "\\?\" prefix ("\\?\UNC\server\share\..." for
// network paths); a path that already has a device prefix is returned as it is. Elsewhere: the
// path unchanged. Never hand such a path to another program (as an argument or working directory).
std::filesystem::path long_path(const std::filesystem::path& path);

}  // namespace vellora::platform
