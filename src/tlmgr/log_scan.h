#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// The names of the files a TeX log says could not be found (packages, classes, fonts, babel
// languages), in order, each once; the tools' own generated files are left out.
std::vector<std::string> missing_files_in_log(std::string_view log);

// True when a file name may be handed to kpsewhich or tlmgr: letters, digits, ".", "_", "-",
// never starting with "-" (it would be read as an option).
bool safe_tex_file_name(std::string_view name);

}  // namespace vellora
