#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// The names of the files a TeX log says could not be found (packages, classes, fonts, babel
// languages), in order, each once. Left out, since no TeX Live package would bring them: the tools'
// own generated files, images, and files of the project itself (`project_paths`, matched by
// path or by file name), which TeX may miss when they sit in another folder.
std::vector<std::string> missing_files_in_log(std::string_view log,
                                              const std::vector<std::string>& project_paths = {});

// True when a file name may be handed to kpsewhich or tlmgr: letters, digits, ".", "_", "-",
// never starting with "-" (it would be read as an option).
bool safe_tex_file_name(std::string_view name);

}  // namespace vellora
