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
    "png", "jpg", "jpeg", "gif",  "bmp",   "tif", "tiff", "eps",
    "ps",  "pdf", "svg",  "webp", "jbig2", "jb2", "mps"};

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
  // pdfTeX: "Metric (TFM) file not found"; XeTeX: "Metric (TFM) file or installed font not
  // found"; LuaTeX: "metric data not found or bad".
  if (line.find(" not loadable: Metric (TFM) file") == std::string_view::npos &&
      line.find(" not loadable: metric data not found") == std::string_view::npos)
    return std::nullopt;
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(eq + 1);
  name = name.substr(0, name.find('='));
  name = name.substr(0, name.find(" not loadable"));
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

// The text between `open` and `close` after `marker`, as in: marker 'name'.
std::optional<std::string_view> between_after(std::string_view line, std::string_view marker,
                                              char open, char close) {
  const auto at = line.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + marker.size());
  const auto start = rest.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(start + 1);
  const auto end = rest.find(close);
  if (end == std::string_view::npos) return std::nullopt;
  return rest.substr(0, end);
}

// Files named by messages of other packages and programs, each line copied from a real log.
std::vector<std::string> other_files_of(std::string_view line) {
  // Package tikz Error: I did not find the tikz library 'nosuchlib'. I looked for files ...
  if (auto name = between_after(line, "I did not find the tikz library", '\'', '\''))
    return {"tikzlibrary" + std::string(*name) + ".code.tex"};
  // Package biblatex Info: ... file 'nosuchbbxstyle.bbx' not found.  (also .cbx)
  // Package biblatex Warning: File 'nosuchlbx.lbx' not found!
  if (line.starts_with("Package biblatex ")) {
    auto name = between_after(line, "file ", '\'', '\'');
    if (!name) name = between_after(line, "File ", '\'', '\'');
    if (name && (name->ends_with(".bbx") || name->ends_with(".cbx") || name->ends_with(".lbx")))
      return {std::string(*name)};
    return {};
  }
  // BibTeX: I couldn't open style file nosuchstyle.bst
  if (const auto at = line.find("I couldn't open style file "); at != std::string_view::npos)
    return {std::string(trim(line.substr(at + 27)))};
  // LuaLaTeX: luaotfload | db : Reload initiated (...); reason: File not found: "X.otf".
  if (line.find("luaotfload") != std::string_view::npos)
    if (auto name = between_after(line, "File not found:", '"', '"')) return {std::string(*name)};
  // XeLaTeX: Package fontspec Error: The font "NoSuchFont-Regular" cannot be found.
  if (line.find("Package fontspec Error: The font") != std::string_view::npos &&
      line.find("cannot be found") != std::string_view::npos) {
    if (auto name = between_after(line, "The font", '"', '"')) {
      if (name->find('.') != std::string_view::npos) return {std::string(*name)};
      return {std::string(*name) + ".otf", std::string(*name) + ".ttf"};
    }
  }
  // !pdfTeX error: pdflatex (file nosuchfontfile.pfb): cannot open Type 1 font file for reading
  // (also "cannot open encoding file" and, as a warning, "cannot open font map file")
  if (line.find("): cannot open ") != std::string_view::npos)
    if (auto name = between_after(line, "(file", ' ', ')')) return {std::string(*name)};
  // LuaLaTeX: ! error:  (type 1): cannot open file for reading 'nosuchfontfilel.pfb'
  if (auto name = between_after(line, "cannot open file for reading", '\'', '\''))
    return {std::string(*name)};
  // LuaLaTeX: ! error:  (type 1): cannot find encoding file 'x.enc' for reading
  //           luatex warning  (map file): cannot open font map file 'x.map'
  // xdvipdfmx: xdvipdfmx:warning: Could not find encoding file "x.enc".
  for (const char* words : {"cannot find encoding file", "cannot open font map file",
                            "Could not find encoding file", "Could not open font map file"}) {
    if (auto name = between_after(line, words, '\'', '\'')) return {std::string(*name)};
    if (auto name = between_after(line, words, '"', '"')) return {std::string(*name)};
  }
  return {};
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
    std::vector<std::string> named = other_files_of(line);
    if (named.empty() && candidate) {
      std::string_view name = trim(*candidate);
      while (name.ends_with('\'')) name.remove_suffix(1);
      if (is_project_file(name, project_paths)) continue;
      std::string file(name);
      if (file.find('.') == std::string::npos) file += ".sty";
      named.push_back(std::move(file));
    }
    for (std::string& file : named) {
      if (file.find('.') == std::string::npos) continue;
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
  }
  return files;
}

}  // namespace vellora
