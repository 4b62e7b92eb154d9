#include "compile/synctex.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/text.h"

namespace vellora {
namespace {

// Scaled points per PDF point (big point): 65536 * 72.27 / 72.
constexpr double SP_PER_BP = 65781.76;

// Reads the numbers of a record such as "1,6:8799518,9651486:22609920,455111,127431".
class Numbers {
 public:
  explicit Numbers(std::string_view text) : text_(text) {}
  std::optional<long> next() {
    while (!text_.empty() && (text_.front() == ',' || text_.front() == ':')) text_.remove_prefix(1);
    long value = 0;
    const auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
    if (ec != std::errc()) return std::nullopt;
    text_.remove_prefix(static_cast<std::size_t>(end - text_.data()));
    return value;
  }
  // Whether the next separator is a ',' (another number of the same group follows).
  bool comma_next() const { return !text_.empty() && text_.front() == ','; }

 private:
  std::string_view text_;
};

std::optional<double> header_number(std::string_view line, std::string_view key) {
  if (!line.starts_with(key)) return std::nullopt;
  line.remove_prefix(key.size());
  double value = 0;
  const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (ec != std::errc() || end == line.data()) return std::nullopt;
  return value;
}

}  // namespace

std::expected<SynctexIndex, std::string> SynctexIndex::parse(std::string_view text,
                                                             const ProjectPaths& paths) {
  SynctexIndex index;
  double unit = 1, magnification = 1000, x_offset = 0, y_offset = 0;
  double scale = 1 / SP_PER_BP;
  bool content = false;
  Page* current = nullptr;
  int open = -1;  // the innermost open box of the current page
  for (const std::string_view line : split_lines(text)) {
    if (line.starts_with("Input:")) {
      Numbers numbers(line.substr(6));
      const auto tag = numbers.next();
      const auto colon = line.find(':', 6);
      if (tag && colon != std::string_view::npos)
        if (auto file = paths.resolve(line.substr(colon + 1))) index.files_[static_cast<int>(*tag)] = *file;
      continue;
    }
    if (!content) {
      if (auto v = header_number(line, "Unit:")) unit = *v;
      if (auto v = header_number(line, "Magnification:")) magnification = *v;
      if (auto v = header_number(line, "X Offset:")) x_offset = *v;
      if (auto v = header_number(line, "Y Offset:")) y_offset = *v;
      if (line.starts_with("Content:")) {
        content = true;
        scale = unit * (magnification / 1000) / SP_PER_BP;
      }
      continue;
    }
    if (line.empty()) continue;
    const char kind = line.front();
    if (kind == '{') {
      Numbers numbers(line.substr(1));
      index.pages_.push_back({static_cast<int>(numbers.next().value_or(0)), {}});
      current = &index.pages_.back();
      open = -1;
      continue;
    }
    if (kind == '}') {
      current = nullptr;
      continue;
    }
    if (current == nullptr) continue;
    if (kind == ')' || kind == ']') {
      if (open >= 0) open = current->nodes[static_cast<std::size_t>(open)].parent;
      continue;
    }
    if (std::string_view("([hvxgk$").find(kind) == std::string_view::npos) continue;
    Numbers numbers(line.substr(1));
    Node node{kind, 0, 0, std::nullopt, 0, 0, 0, 0, 0, open};
    const auto tag = numbers.next();
    const auto source_line = numbers.next();
    if (!tag || !source_line) continue;
    node.tag = static_cast<int>(*tag);
    node.line = *source_line;
    if (numbers.comma_next()) node.column = numbers.next();
    const auto h = numbers.next();
    const auto v = numbers.next();
    if (!h || !v) continue;
    node.h = (static_cast<double>(*h) + x_offset) * scale;
    node.v = (static_cast<double>(*v) + y_offset) * scale;
    if (kind == 'k') {
      node.width = static_cast<double>(numbers.next().value_or(0)) * scale;
    } else if (kind == '(' || kind == '[' || kind == 'h' || kind == 'v') {
      node.width = static_cast<double>(numbers.next().value_or(0)) * scale;
      node.height = static_cast<double>(numbers.next().value_or(0)) * scale;
      node.depth = static_cast<double>(numbers.next().value_or(0)) * scale;
    }
    if (node.column && *node.column < 0) node.column.reset();
    current->nodes.push_back(node);
    if (kind == '(' || kind == '[') open = static_cast<int>(current->nodes.size() - 1);
  }
  if (!content) return std::unexpected(std::string("the SyncTeX file is damaged"));
  return index;
}

const SynctexIndex::Page* SynctexIndex::page(int number) const {
  for (const Page& p : pages_)
    if (p.number == number) return &p;
  return nullptr;
}

std::expected<PdfBox, std::string> SynctexIndex::forward(std::string_view file, long line) const {
  std::optional<int> tag;
  for (const auto& [t, path] : files_)
    if (path == file) tag = t;
  if (!tag) return std::unexpected("nothing of " + std::string(file) + " was typeset");
  // The first material of the line itself, else of the nearest line after it, else before it.
  const Page* best_page = nullptr;
  const Node* best = nullptr;
  long best_distance = std::numeric_limits<long>::max();
  for (const Page& p : pages_) {
    for (const Node& node : p.nodes) {
      if (node.tag != *tag) continue;
      const long distance = node.line >= line ? 2 * (node.line - line) : 2 * (line - node.line) + 1;
      if (distance < best_distance) {
        best_distance = distance;
        best = &node;
        best_page = &p;
      }
    }
    if (best_distance == 0) break;
  }
  if (best == nullptr) return std::unexpected("nothing of " + std::string(file) + " was typeset");
  // Material is shown as the line (horizontal box) that holds it.
  const Node* box = best;
  while (box->kind != '(' && box->parent >= 0)
    box = &best_page->nodes[static_cast<std::size_t>(box->parent)];
  return PdfBox{best_page->number, box->h, box->v - box->height, box->width, box->height + box->depth};
}

std::expected<SourcePlace, std::string> SynctexIndex::reverse(int number, double x, double y) const {
  const Page* p = page(number);
  if (p == nullptr) return std::unexpected("the document has no page " + std::to_string(number));
  // The smallest horizontal box that holds the point; else the one nearest to it.
  const Node* box = nullptr;
  double best = std::numeric_limits<double>::max();
  for (const Node& node : p->nodes) {
    if (node.kind != '(' && node.kind != 'h') continue;
    const double top = node.v - node.height, bottom = node.v + node.depth;
    const double dx = x < node.h ? node.h - x : x > node.h + node.width ? x - node.h - node.width : 0;
    const double dy = y < top ? top - y : y > bottom ? y - bottom : 0;
    const double score = dx == 0 && dy == 0 ? node.width * (bottom - top) - 1e12 : dx + dy;
    if (score < best) {
      best = score;
      box = &node;
    }
  }
  if (box == nullptr) return std::unexpected("nothing is typeset on page " + std::to_string(number));
  // Within the box, the material nearest to the left of the point names the line.
  const Node* place = box;
  const auto box_index = static_cast<int>(box - p->nodes.data());
  double nearest = std::numeric_limits<double>::max();
  for (const Node& node : p->nodes) {
    if (node.parent != box_index) continue;
    const double distance = node.h <= x ? x - node.h : (node.h - x) + 1e6;
    if (distance < nearest) {
      nearest = distance;
      place = &node;
    }
  }
  const auto file = files_.find(place->tag);
  if (file == files_.end())
    return std::unexpected(std::string("that place comes from a file outside the project"));
  return SourcePlace{file->second, place->line, place->column};
}

}  // namespace vellora
