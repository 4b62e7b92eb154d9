#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// What a SyncTeX file says about where the document's lines went, read once and asked both ways.
class SynctexIndex {
 public:
  // `text` is the uncompressed content of "<job>.synctex(.gz)"; the inputs are mapped to the
  // project's files through `paths`.
  static std::expected<SynctexIndex, std::string> parse(std::string_view text,
                                                        const ProjectPaths& paths);

  // The box of the first typeset material of a line (or the nearest line that has some).
  std::expected<PdfBox, std::string> forward(std::string_view file, long line) const;
  // The source line of what is typeset at a point of a page.
  std::expected<SourcePlace, std::string> reverse(int page, double x, double y) const;

 private:
  struct Node {
    char kind;  // '(' '[' 'h' 'v' for boxes, 'x' 'g' 'k' '$' for points
    int tag;
    long line;
    std::optional<long> column;
    double h, v, width, height, depth;  // PDF points; v is the baseline, down from the top
    int parent;  // index of the enclosing box, -1 at the page's top
  };
  struct Page {
    int number;
    std::vector<Node> nodes;
  };

  const Page* page(int number) const;

  std::unordered_map<int, std::string> files_;  // input tag -> project path
  std::vector<Page> pages_;
};

}  // namespace vellora
