#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "compile/diagnostics.h"

namespace vellora {

// A rectangle of a PDF page in PDF points, measured from the page's top-left corner.
struct PdfBox {
  int page = 0;
  double x = 0, y = 0, width = 0, height = 0;
};

// A place in one of the project's files.
struct SourcePlace {
  std::string file;  // project-relative
  long line = 0;
  std::optional<long> column;
};

// Hands the lines of a SyncTeX file's uncompressed text to `line` one at a time, stopping early
// when it answers false; the error is the text's own (damaged compressed data). Queries read the
// text in one streaming pass and keep no more than the nesting of the boxes at hand, so a large
// or hostile file costs time, never memory.
using SynctexLine = std::function<bool(std::string_view)>;
using SynctexLines = std::function<std::expected<void, std::string>(const SynctexLine& line)>;

// The lines of a text held in memory.
SynctexLines synctex_text_lines(std::string_view text);

// The box of the first typeset material of a line (or the nearest line that has some). The
// inputs are mapped to the project's files through `paths`.
std::expected<PdfBox, std::string> synctex_forward(const SynctexLines& lines,
                                                   const ProjectPaths& paths, std::string_view file,
                                                   long line);

// The source line of what is typeset at a point of a page.
std::expected<SourcePlace, std::string> synctex_reverse(const SynctexLines& lines,
                                                        const ProjectPaths& paths, int page,
                                                        double x, double y);

}  // namespace vellora
