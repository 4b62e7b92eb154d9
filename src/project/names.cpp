#include "project/names.h"

#include "common/text.h"

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

std::string_view last_segment(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vellora
