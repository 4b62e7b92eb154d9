#include "compile/synctex.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vellora {
namespace {

// Scaled points per PDF point (big point): 65536 * 72.27 / 72.
constexpr double SP_PER_BP = 65781.76;
// Deeper nesting than any document has: the file is damaged or hostile.
constexpr std::size_t MAX_BOX_DEPTH = 10000;
// The inputs remembered: far more than the files of any project.
constexpr std::size_t MAX_INPUTS = 65536;

const std::string DAMAGED = "the SyncTeX file is damaged";

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

// One record of a page: a box ('(' '[' open one, 'h' 'v' are void) or a point ('x' 'g' 'k' '$').
struct Node {
  char kind;
  int tag;
  long line;
  std::optional<long> column;
  double h, v, width, height, depth;  // PDF points; v is the baseline, down from the top
};

// What a query does with the records of the text, in their order.
class Events {
 public:
  virtual ~Events() = default;
  virtual void input(int tag, std::string_view printed) = 0;
  // False: the page's records are skipped.
  virtual bool page_begins(int number) = 0;
  // False: the reading stops.
  virtual bool page_ends() = 0;
  // Every record of a page, an opening box too (before what it holds).
  virtual void node(const Node& node) = 0;
  virtual void box_closes() = 0;
};

// Reads the text line by line: the header's scale, the inputs, the records of each page. Only the
// depth of the open boxes is kept.
class Scanner {
 public:
  explicit Scanner(Events& events) : events_(events) {}

  // False to stop reading; an error when the file cannot be right.
  std::expected<bool, std::string> line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with("Input:")) {
      Numbers numbers(line.substr(6));
      const auto tag = numbers.next();
      const auto colon = line.find(':', 6);
      if (tag && colon != std::string_view::npos && *tag >= std::numeric_limits<int>::min() &&
          *tag <= std::numeric_limits<int>::max())
        events_.input(static_cast<int>(*tag), line.substr(colon + 1));
      return true;
    }
    if (!content_) return header(line);
    if (line.empty()) return true;
    const char kind = line.front();
    if (kind == '{') {
      if (in_page_ && !events_.page_ends()) return false;
      Numbers numbers(line.substr(1));
      const long number = numbers.next().value_or(0);
      in_page_ = true;
      depth_ = 0;
      wanted_ = number >= 0 && number <= std::numeric_limits<int>::max() &&
                events_.page_begins(static_cast<int>(number));
      return true;
    }
    if (kind == '}') {
      const bool was_in_page = in_page_;
      in_page_ = wanted_ = false;
      return !was_in_page || events_.page_ends();
    }
    if (!wanted_) return true;
    if (kind == ')' || kind == ']') {
      if (depth_ > 0) {
        --depth_;
        events_.box_closes();
      }
      return true;
    }
    if (std::string_view("([hvxgk$").find(kind) == std::string_view::npos) return true;
    Numbers numbers(line.substr(1));
    Node node{kind, 0, 0, std::nullopt, 0, 0, 0, 0, 0};
    const auto tag = numbers.next();
    const auto source_line = numbers.next();
    if (!tag || !source_line || *tag < std::numeric_limits<int>::min() ||
        *tag > std::numeric_limits<int>::max())
      return true;
    node.tag = static_cast<int>(*tag);
    node.line = *source_line;
    if (numbers.comma_next()) node.column = numbers.next();
    const auto h = numbers.next();
    const auto v = numbers.next();
    if (!h || !v) return true;
    node.h = (static_cast<double>(*h) + x_offset_) * scale_;
    node.v = (static_cast<double>(*v) + y_offset_) * scale_;
    if (kind == 'k') {
      node.width = static_cast<double>(numbers.next().value_or(0)) * scale_;
    } else if (kind == '(' || kind == '[' || kind == 'h' || kind == 'v') {
      node.width = static_cast<double>(numbers.next().value_or(0)) * scale_;
      node.height = static_cast<double>(numbers.next().value_or(0)) * scale_;
      node.depth = static_cast<double>(numbers.next().value_or(0)) * scale_;
    }
    if (node.column && *node.column < 0) node.column.reset();
    const bool opens = kind == '(' || kind == '[';
    if (opens && depth_ >= MAX_BOX_DEPTH) return std::unexpected(DAMAGED);
    events_.node(node);
    if (opens) ++depth_;
    return true;
  }

  // After the last line.
  std::expected<void, std::string> end() {
    if (!content_) return std::unexpected(DAMAGED);
    if (in_page_) events_.page_ends();
    return {};
  }

 private:
  std::expected<bool, std::string> header(std::string_view line) {
    for (auto [key, value] :
         {std::pair{"Unit:", &unit_}, std::pair{"Magnification:", &magnification_},
          std::pair{"X Offset:", &x_offset_}, std::pair{"Y Offset:", &y_offset_}})
      if (const auto v = header_number(line, key)) *value = *v;
    if (line.starts_with("Content:")) {
      content_ = true;
      scale_ = unit_ * (magnification_ / 1000) / SP_PER_BP;
      for (const double v : {unit_, magnification_, x_offset_, y_offset_, scale_})
        if (!std::isfinite(v)) return std::unexpected(DAMAGED);
    }
    return true;
  }

  Events& events_;
  double unit_ = 1, magnification_ = 1000, x_offset_ = 0, y_offset_ = 0;
  double scale_ = 1 / SP_PER_BP;
  bool content_ = false;
  bool in_page_ = false;
  bool wanted_ = false;  // the records of this page are handed over
  std::size_t depth_ = 0;
};

std::expected<void, std::string> scan(const SynctexLines& lines, Events& events) {
  Scanner scanner(events);
  std::optional<std::string> error;
  const auto read = lines([&](std::string_view line) {
    auto go_on = scanner.line(line);
    if (!go_on) error = go_on.error();
    return go_on.value_or(false);
  });
  if (!read) return std::unexpected(read.error());
  if (error) return std::unexpected(*error);
  return scanner.end();
}

bool finite(const PdfBox& box) {
  return std::isfinite(box.x) && std::isfinite(box.y) && std::isfinite(box.width) &&
         std::isfinite(box.height);
}

// The first material of the line itself, else of the nearest line after it, else before it,
// shown as the line (horizontal box) that holds it.
class Forward final : public Events {
 public:
  Forward(const ProjectPaths& paths, std::string_view file, long line)
      : paths_(paths), file_(file), line_(line) {}

  void input(int tag, std::string_view printed) override {
    if (tags_.size() < MAX_INPUTS && paths_.resolve(printed) == file_) tags_.insert(tag);
  }
  bool page_begins(int number) override {
    page_ = number;
    open_.clear();
    return true;
  }
  bool page_ends() override {
    open_.clear();
    return !(best_ && distance_ == 0);
  }
  void node(const Node& node) override {
    if (tags_.contains(node.tag)) {
      const long distance =
          node.line >= line_ ? 2 * (node.line - line_) : 2 * (line_ - node.line) + 1;
      if (!best_ || distance < distance_) {
        distance_ = distance;
        // The box itself, else the innermost horizontal box around it, else the outermost box.
        const Node* box = &node;
        if (node.kind != '(' && !open_.empty())
          box = open_.back().hbox >= 0 ? &open_[static_cast<std::size_t>(open_.back().hbox)].node
                                       : &open_.front().node;
        best_ = PdfBox{page_, box->h, box->v - box->height, box->width, box->height + box->depth};
      }
    }
    if (node.kind == '(' || node.kind == '[') {
      const long outer = open_.empty() ? -1 : open_.back().hbox;
      open_.push_back({node, node.kind == '(' ? static_cast<long>(open_.size()) : outer});
    }
  }
  void box_closes() override {
    if (!open_.empty()) open_.pop_back();
  }

  std::expected<PdfBox, std::string> result() const {
    if (!best_) return std::unexpected("nothing of " + file_ + " was typeset");
    if (!finite(*best_)) return std::unexpected(DAMAGED);
    return *best_;
  }

 private:
  struct Open {
    Node node;
    long hbox;  // the innermost '(' box at or above this one, -1 for none
  };
  const ProjectPaths& paths_;
  const std::string file_;
  const long line_;
  std::unordered_set<int> tags_;
  int page_ = 0;
  std::vector<Open> open_;
  std::optional<PdfBox> best_;
  long distance_ = 0;
};

// The smallest horizontal box of the page that holds the point, else the one nearest to it; within
// it the material nearest to the left of the point names the line.
class Reverse final : public Events {
 public:
  Reverse(const ProjectPaths& paths, int page, double x, double y)
      : paths_(paths), page_(page), x_(x), y_(y) {}

  void input(int tag, std::string_view printed) override {
    if (files_.size() >= MAX_INPUTS && !files_.contains(tag)) return;
    if (auto file = paths_.resolve(printed)) files_[tag] = std::move(*file);
  }
  bool page_begins(int number) override {
    reading_ = !seen_ && number == page_;
    seen_ = seen_ || reading_;
    return reading_;
  }
  bool page_ends() override {
    if (reading_)
      while (!open_.empty()) box_closes();
    reading_ = false;
    return true;  // inputs named later still count
  }
  void node(const Node& node) override {
    const long index = count_++;
    if (!open_.empty()) {
      // A candidate to name the line of the box it is in.
      const double distance = node.h <= x_ ? x_ - node.h : (node.h - x_) + 1e6;
      Open& parent = open_.back();
      if (!parent.nearest || distance < parent.distance) {
        parent.nearest = place_of(node);
        parent.distance = distance;
      }
    }
    if (node.kind == '(' || node.kind == 'h') {
      const double top = node.v - node.height, bottom = node.v + node.depth;
      const double dx = x_ < node.h                ? node.h - x_
                        : x_ > node.h + node.width ? x_ - node.h - node.width
                                                   : 0;
      const double dy = y_ < top ? top - y_ : y_ > bottom ? y_ - bottom : 0;
      const double score = dx == 0 && dy == 0 ? node.width * (bottom - top) - 1e12 : dx + dy;
      if (score < score_) {
        score_ = score;
        best_ = index;
        // A box with nothing in it names its own line; what it holds is known when it closes.
        place_ = place_of(node);
      }
    }
    if (node.kind == '(' || node.kind == '[') open_.push_back({index, std::nullopt, 0});
  }
  void box_closes() override {
    if (open_.empty()) return;
    if (open_.back().index == best_ && open_.back().nearest) place_ = open_.back().nearest;
    open_.pop_back();
  }

  std::expected<SourcePlace, std::string> result() const {
    if (!seen_) return std::unexpected("the document has no page " + std::to_string(page_));
    if (!place_) return std::unexpected("nothing is typeset on page " + std::to_string(page_));
    const auto file = files_.find(place_->tag);
    if (file == files_.end())
      return std::unexpected(std::string("that place comes from a file outside the project"));
    return SourcePlace{file->second, place_->line, place_->column};
  }

 private:
  struct Place {
    int tag;
    long line;
    std::optional<long> column;
  };
  struct Open {
    long index;
    std::optional<Place> nearest;  // of the records directly inside
    double distance;
  };
  static Place place_of(const Node& node) { return {node.tag, node.line, node.column}; }

  const ProjectPaths& paths_;
  const int page_;
  const double x_, y_;
  std::unordered_map<int, std::string> files_;  // input tag -> project path
  bool seen_ = false, reading_ = false;
  long count_ = 0;  // records of the page so far
  std::vector<Open> open_;
  double score_ = std::numeric_limits<double>::max();
  long best_ = -1;
  std::optional<Place> place_;
};

}  // namespace

SynctexLines synctex_text_lines(std::string_view text) {
  return [text](const SynctexLine& line) -> std::expected<void, std::string> {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      if (!line(text.substr(start, end - start))) break;
      start = end + 1;
    }
    return {};
  };
}

std::expected<PdfBox, std::string> synctex_forward(const SynctexLines& lines,
                                                   const ProjectPaths& paths, std::string_view file,
                                                   long line) {
  Forward query(paths, file, line);
  if (auto scanned = scan(lines, query); !scanned) return std::unexpected(scanned.error());
  return query.result();
}

std::expected<SourcePlace, std::string> synctex_reverse(const SynctexLines& lines,
                                                        const ProjectPaths& paths, int page,
                                                        double x, double y) {
  Reverse query(paths, page, x, y);
  if (auto scanned = scan(lines, query); !scanned) return std::unexpected(scanned.error());
  return query.result();
}

}  // namespace vellora
