#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellora {

// Where TeX programs are looked for, in order: the agent's PATH, then the usual install
// locations of TeX Live, MiKTeX, TinyTeX and ConTeXt. Rebuilt at every call.
std::vector<std::filesystem::path> tool_search_dirs();

// The first program of that name, directory by directory: on Windows "<name>.exe" or "<name>.bat"
// (what CreateProcessW can start), elsewhere an executable "<name>".
std::optional<std::filesystem::path> find_program(const std::string& name);
std::optional<std::filesystem::path> find_program_in(const std::vector<std::filesystem::path>& dirs,
                                                     const std::string& name);

// PATH for TeX child processes: the search directories joined, without those a PATH cannot hold.
std::string tool_path_value();

// The per-user TinyTeX root.
std::filesystem::path tinytex_dir(const std::filesystem::path& home);

}  // namespace vellora
