#include "tlmgr/log_scan.h"

#include <algorithm>
#include <array>
#include <optional>

#include "common/text.h"

namespace vellora {
namespace {

constexpr std::array<std::string_view, 22> GENERATED_EXTENSIONS = {
    "out", "aux", "toc", "lof", "lot", "bbl", "blg", "ind", "idx", "ilg", "glo",
    "gls", "nav", "snm", "vrb", "brf", "bcf", "fls", "xdv", "thm", "loa", "lol"};

// Pictures included by the document: a missing one is the project's, not TeX Live's.
constexpr std::array<std::string_view, 15> IMAGE_EXTENSIONS = {
    "png", "jpg", "jpeg", "gif", "bmp", "tif", "tiff", "eps", "ps",
    "pdf", "svg", "webp", "jbig2", "jb2", "mps"};

constexpr std::string_view GRAVE = "`";
constexpr std::string_view LEFT_QUOTE = "\u2018";

bool only_chars(std::string_view s, std::string_view extra) {
  return std::all_of(s.begin(), s.end(), [&](char c) {
    return is_ascii_alnum(c) || extra.find(c) != std::string_view::npos;
  });
}

// The text after `marker` up to the next "'" (or the line's end).
std::optional<std::string_view> quoted_after(std::string_view line, std::string_view marker) {
  const auto at = line.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + marker.size());
  return rest.substr(0, rest.find('\''));
}

void add_unique(std::vector<std::string>& list, std::string name) {
  if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(std::move(name));
}

std::optional<std::string_view> candidate_of(std::string_view line) {
  if (auto c = quoted_after(line, "! LaTeX Error: File `")) return c;
  if (auto c = quoted_after(line, "! I can't find file `");
      c && c->find('.') != std::string_view::npos)
    return c;
  if (line.find("Package ") != std::string_view::npos) {
    if (auto c = quoted_after(line, "File `")) return c;
  }
  return std::nullopt;
}

std::optional<std::string> font_of(std::string_view line) {
  if (line.find("not loadable: Metric (TFM) file not found") == std::string_view::npos)
    return std::nullopt;
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(eq + 1);
  name = name.substr(0, name.find('='));
  name = name.substr(0, name.find(" at "));
  name = trim(name);
  if (name.empty() || !only_chars(name, "-_")) return std::nullopt;
  return std::string(name) + ".tfm";
}

std::optional<std::string> babel_language_of(std::string_view line) {
  const auto option = line.find("option");
  std::string_view rest = line.substr(option + 6);
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  for (bool skipped = true; skipped && !rest.empty();) {
    skipped = false;
    for (std::string_view quote : {std::string_view("'"), GRAVE, LEFT_QUOTE}) {
      if (rest.starts_with(quote)) {
        rest.remove_prefix(quote.size());
        skipped = true;
      }
    }
  }
  std::size_t n = 0;
  while (n < rest.size() && (is_ascii_alnum(rest[n]) || rest[n] == '-')) ++n;
  if (n == 0) return std::nullopt;
  return std::string(rest.substr(0, n)) + ".ldf";
}

bool is_project_file(std::string_view name, const std::vector<std::string>& project_paths) {
  return std::any_of(project_paths.begin(), project_paths.end(), [&](const std::string& path) {
    const std::string_view p(path);
    return p == name || p.substr(p.rfind('/') + 1) == name;
  });
}

}  // namespace

bool safe_tex_file_name(std::string_view name) {
  return !name.empty() && name.front() != '-' && only_chars(name, "._-");
}

std::vector<std::string> missing_files_in_log(std::string_view log,
                                              const std::vector<std::string>& project_paths) {
  std::vector<std::string> files;
  for (std::string_view line : split_lines(log)) {
    const auto candidate = candidate_of(line);
    if (auto font = font_of(line)) {
      add_unique(files, std::move(*font));
      continue;
    }
    if (line.find("Package babel Error: Unknown option") != std::string_view::npos) {
      if (auto language = babel_language_of(line)) add_unique(files, std::move(*language));
      continue;
    }
    if (!candidate) continue;
    std::string_view name = trim(*candidate);
    while (name.ends_with('\'')) name.remove_suffix(1);
    if (is_project_file(name, project_paths)) continue;
    std::string file(name);
    if (file.find('.') == std::string::npos) file += ".sty";
    const std::string extension = to_lower_ascii(file.substr(file.rfind('.') + 1));
    const auto listed = [&](const auto& list) {
      return std::find(list.begin(), list.end(), extension) != list.end();
    };
    if (listed(GENERATED_EXTENSIONS) || listed(IMAGE_EXTENSIONS) ||
        is_project_file(file, project_paths))
      continue;
    if (file.size() >= 80 || !only_chars(file, "._-")) continue;
    add_unique(files, std::move(file));
  }
  return files;
}

}  // namespace vellora
