#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compile/engine_command.h"
#include "project/file_refs.h"

namespace vellora {

// The name the epstopdf package gives the PDF of a figure: "figs/plot.eps" ->
// "figs/plot-eps-converted-to.pdf" ("-ps-" for a ".ps" file). Empty for other files.
std::string converted_figure_name(std::string_view path);

// What the graphics bundle reads as its local configuration (graphics.cfg) in a run whose figures
// were converted: the installation's own configuration, then the loading of epstopdf-base that
// pdftex.def and luatex.def do only with shell escape on.
std::string graphics_cfg_with_epstopdf(std::string_view installed_cfg);

// pdfLaTeX and LuaLaTeX read no EPS, and with shell escape off the epstopdf package converts
// nothing. So before the engine runs, every ".eps" and ".ps" file of the project is converted by
// Ghostscript (safe mode, inside the engine's own confinement and environment) to the PDF that
// epstopdf looks for, in the output folder, where TeX looks first; each content once, kept in the
// output folder while the project holds it. A "graphics.cfg" in the output folder then has
// epstopdf used for documents that do not load it themselves; there a figure whose conversion
// failed is shown as the engine shows an EPS by itself.
// Other engines: XeLaTeX's driver converts EPS itself, so nothing is done (and an earlier
// configuration is removed). The result is one log line per figure that could not be converted.
std::vector<std::string> prepare_eps_figures(const EngineRun& run,
                                             const std::vector<FileRef>& files);

}  // namespace vellora
