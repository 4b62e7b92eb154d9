#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sandbox.h"

namespace vellora {

// What one engine run may reach: it writes only its work directory and the TeX and font caches,
// and reads the system, the TeX trees, the user's fonts and its work directory; never the agent's
// own directories or another project. Tectonic also keeps its download cache and the network.
// `env` is the run's own variables (a ConTeXt cache named there is writable too).
platform::Confinement engine_confinement(
    std::string_view engine_id, const std::filesystem::path& work_dir,
    const std::vector<std::pair<std::string, std::string>>& env);

// Removes every entry that would open the agent's directories to a run: an entry that holds the
// config or cache directory, or lies inside either (the work directory is added by the caller).
std::vector<std::filesystem::path> without_agent_dirs(std::vector<std::filesystem::path> paths,
                                                      const std::filesystem::path& config,
                                                      const std::filesystem::path& cache);

}  // namespace vellora
