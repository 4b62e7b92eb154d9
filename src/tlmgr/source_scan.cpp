#include "tlmgr/source_scan.h"

#include <algorithm>

#include "common/text.h"

namespace vellora {
namespace {

struct Wanted {
  std::string name;
  bool is_class;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void skip_blanks(std::string_view text, std::size_t& i) {
  while (i < text.size() && is_blank(text[i])) ++i;
}

bool has_name(const std::vector<Wanted>& list, std::string_view name) {
  return std::any_of(list.begin(), list.end(), [&](const Wanted& w) { return w.name == name; });
}

bool only_chars(std::string_view s, std::string_view extra) {
  return std::all_of(s.begin(), s.end(), [&](char c) {
    return is_ascii_alnum(c) || extra.find(c) != std::string_view::npos;
  });
}

void add_babel_languages(std::string_view options, std::vector<Wanted>& wanted) {
  for (std::string_view option : split(options, ',')) {
    option = trim(option);
    if (option.starts_with("main=")) option.remove_prefix(5);
    if (option.empty() || !only_chars(option, "-")) continue;
    const std::string file = std::string(option) + ".ldf";
    if (!has_name(wanted, file)) wanted.push_back({file, false});
  }
}

void scan_command(std::string_view text, std::string_view command, bool is_class,
                  std::vector<Wanted>& wanted) {
  for (std::size_t at = text.find(command); at != std::string_view::npos;
       at = text.find(command, at + 1)) {
    std::size_t i = at + command.size();
    if (i < text.size() && is_ascii_letter(text[i])) continue;
    skip_blanks(text, i);
    std::string_view options;
    if (i < text.size() && text[i] == '[') {
      const auto close = text.find(']', i);
      if (close == std::string_view::npos) continue;
      options = text.substr(i + 1, close - i - 1);
      i = close + 1;
      skip_blanks(text, i);
    }
    if (i >= text.size() || text[i] != '{') continue;
    const auto close = text.find('}', i);
    if (close == std::string_view::npos) continue;
    std::vector<std::string_view> names;
    for (std::string_view name : split(text.substr(i + 1, close - i - 1), ','))
      names.push_back(trim(name));
    if (std::find(names.begin(), names.end(), "babel") != names.end())
      add_babel_languages(options, wanted);
    for (std::string_view name : names) {
      if (name.empty() || name.size() > 59 || !only_chars(name, "._-") || has_name(wanted, name))
        continue;
      wanted.push_back({std::string(name), is_class});
    }
  }
}

}  // namespace

std::string strip_tex_comments(std::string_view text) {
  std::string out;
  const auto lines = split(text, '\n');
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string_view line = lines[n];
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '%' && (i == 0 || line[i - 1] != '\\')) {
        line = line.substr(0, i);
        break;
      }
    }
    if (n > 0) out += '\n';
    out += line;
  }
  return out;
}

std::vector<std::string> wanted_files_in_source(std::string_view text) {
  const std::string code = strip_tex_comments(text);
  std::vector<Wanted> wanted;
  scan_command(code, "\\usepackage", false, wanted);
  scan_command(code, "\\RequirePackage", false, wanted);
  scan_command(code, "\\RequirePackageWithOptions", false, wanted);
  scan_command(code, "\\documentclass", true, wanted);
  scan_command(code, "\\LoadClass", true, wanted);
  std::vector<std::string> files;
  for (const Wanted& w : wanted) {
    std::string file =
        w.name.find('.') != std::string::npos ? w.name : w.name + (w.is_class ? ".cls" : ".sty");
    if (std::find(files.begin(), files.end(), file) == files.end())
      files.push_back(std::move(file));
  }
  return files;
}

}  // namespace vellora
