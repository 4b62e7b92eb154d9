#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sandbox.h"

namespace vellora {

using EnvVars = std::vector<std::pair<std::string, std::string>>;

// What one engine run may reach: it writes only its work directory (its private TeX and font
// caches included), and reads the system's programs and libraries, what of /etc TeX and fonts
// need, the TeX trees, the user's fonts and the caches the agent built for every run; never the
// agent's own directories, another project, or anything of the user's TeX it could leave a file
// in for later runs. Tectonic also keeps its download cache and TCP.
// `read_only_caches`: folders of the agent's cache built for runs to read (fonts, ConTeXt).
platform::Confinement engine_confinement(std::string_view engine_id,
                                         const std::filesystem::path& work_dir,
                                         const std::vector<std::filesystem::path>& read_only_caches);

// Removes every entry that would open the agent's directories to a run: an entry that holds the
// config or cache directory, or lies inside either (the work directory is added by the caller).
std::vector<std::filesystem::path> without_agent_dirs(std::vector<std::filesystem::path> paths,
                                                      const std::filesystem::path& config,
                                                      const std::filesystem::path& cache);

// The part of the agent's environment an engine run sees: HOME, locale and time zone, the user's
// own TeX settings (TEXMF*, *INPUTS, *FONTS) and what the system needs to start a program;
// never the session bus, an ssh-agent, a display or any token the agent happens to hold.
EnvVars allowed_environment();

// The variables that point one project's runs at caches of their own under `cache_root` (TeX's
// variable tree, generated fonts, luaotfload's and fontconfig's caches), reading `shared` caches
// after them. The folders are made here.
EnvVars private_cache_env(const std::filesystem::path& cache_root,
                          const std::vector<std::filesystem::path>& shared);

// Asks kpsewhich where the TeX trees are, once per process; later calls return at once.
void discover_tex_trees();

// Memory per process of a run: VELLORA_COMPILE_MEMORY_MB, 4096 MiB by default.
std::uint64_t run_memory_limit();

}  // namespace vellora
