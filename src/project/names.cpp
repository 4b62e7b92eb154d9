#include "project/names.h"

#include <map>

#include "common/text.h"
#include "platform/env.h"

namespace vellora {
namespace {

// Unicode category Cc: U+0000-U+001F, U+007F-U+009F (the latter as two UTF-8 bytes C2 80..C2 9F).
bool has_control_character(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size()) {
      const auto next = static_cast<unsigned char>(s[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

// Decodes valid UTF-8 (callers check validity first).
std::u32string code_points(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

// Simple case folding for the scripts file names are mostly written in (Latin, Greek,
// Cyrillic), which is where Windows' case-insensitive names bite.
char32_t fold_case(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 0x20;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177) || (c >= 0x460 && c <= 0x481) ||
       (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) &&
      c % 2 == 0)
    return c + 1;
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 1) return c + 1;
  return c;
}

std::u32string folded(std::string_view s) {
  std::u32string out = code_points(s);
  for (char32_t& c : out) c = fold_case(c);
  return out;
}

bool is_windows_device_name(std::string_view segment) {
  // "NUL.tex" and "nul .txt" open the device as well: the part before the first dot counts, with
  // trailing spaces ignored.
  std::string base = to_lower_ascii(segment.substr(0, segment.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

bool valid_project_id(std::string_view id) {
  if (id.empty() || id.size() > 200 || id.front() == '.') return false;
  for (char c : id)
    if (!is_ascii_alnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

bool valid_relative_path(std::string_view path) {
  if (path.empty() || path.size() > 400 || path.front() == '/') return false;
  if (!is_valid_utf8(path) || has_control_character(path)) return false;
  for (std::string_view segment : split(path, '/')) {
    if (segment.empty() || segment == "." || segment == ".." || segment.front() == '-')
      return false;
    if (segment.find_first_of("\\:") != std::string_view::npos) return false;
  }
  return true;
}

std::optional<std::string_view> over_long_segment(std::string_view path) {
  constexpr std::size_t NAME_MAX_UNITS = 255;
  for (const std::string_view segment : split(path, '/')) {
    if (segment.size() <= NAME_MAX_UNITS) continue;
    if (!platform::on_windows()) return segment;
    // UTF-16 units: one per byte that starts a character, two for four-byte characters.
    std::size_t units = 0;
    for (const char c : segment) {
      const auto u = static_cast<unsigned char>(c);
      if ((u & 0xC0) != 0x80) units += u >= 0xF0 ? 2 : 1;
    }
    if (units > NAME_MAX_UNITS) return segment;
  }
  return std::nullopt;
}

bool valid_main_file_name(std::string_view path) {
  if (!valid_relative_path(path)) return false;
  // Every other ASCII punctuation mark means something to sh inside double quotes, to cmd or to
  // TeX; bytes above 0x7F are letters of other scripts (control characters were refused above).
  constexpr std::string_view allowed_punctuation = " .-_+,=@'()[]/";
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 || is_ascii_alnum(c)) continue;
    if (allowed_punctuation.find(c) == std::string_view::npos) return false;
  }
  return true;
}

bool is_reserved_project_path(std::string_view path) {
  const std::string lower = to_lower_ascii(path);
  // The manifest is written to a temporary file of a unique name beside it first.
  return lower == "_out" || lower.starts_with("_out/") || lower.starts_with(".vellora-manifest.");
}

std::optional<std::string> windows_path_problem(std::string_view path) {
  for (std::string_view segment : split(path, '/')) {
    for (char c : segment) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || std::string_view("<>\"|?*").find(c) != std::string_view::npos)
        return "Windows cannot store the project path \"" + std::string(path) +
               "\": it holds a character Windows does not allow in file names";
    }
    if (is_windows_device_name(segment))
      return "Windows cannot store the project path \"" + std::string(path) + "\": \"" +
             std::string(segment) + "\" is the name of a device there";
    if (!segment.empty() && (segment.back() == '.' || segment.back() == ' '))
      return "Windows cannot store the project path \"" + std::string(path) +
             "\": a name ends with a dot or a space";
  }
  return std::nullopt;
}

std::optional<std::string> windows_paths_problem(const std::vector<std::string>& paths) {
  for (const std::string& path : paths)
    if (auto problem = windows_path_problem(path)) return problem;
  // Every file and every folder above one, by its folded name: a second spelling of the same
  // folded name is a collision, unless both are the same folder.
  struct Seen {
    std::string_view spelling;
    bool is_file;
  };
  std::map<std::u32string, Seen> seen;
  for (const std::string& path : paths) {
    std::string_view rest = path;
    for (std::size_t slash = 0;; ++slash) {
      slash = rest.find('/', slash);
      const bool is_file = slash == std::string_view::npos;
      const std::string_view prefix = is_file ? rest : rest.substr(0, slash);
      const auto [it, inserted] = seen.emplace(folded(prefix), Seen{prefix, is_file});
      if (!inserted && (is_file || it->second.is_file || it->second.spelling != prefix) &&
          !(is_file && it->second.is_file && it->second.spelling == prefix))
        return "the project paths \"" + std::string(it->second.spelling) + "\" and \"" +
               std::string(prefix) + "\" would be one file on Windows, which ignores letter case";
      if (is_file) break;
    }
  }
  return std::nullopt;
}

std::string_view last_segment(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vellora
