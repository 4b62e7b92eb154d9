#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// Drops TeX comments: everything from a "%" that starts the line or is not preceded by "\".
std::string strip_tex_comments(std::string_view text);

// The files a source loads through \usepackage, \RequirePackage, \RequirePackageWithOptions,
// \documentclass and \LoadClass (".sty" or ".cls" added when the name has no extension), plus
// the ".ldf" files of babel's language options. In order, each once.
std::vector<std::string> wanted_files_in_source(std::string_view text);

}  // namespace vellora
