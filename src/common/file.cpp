#include "common/file.h"

#include <fstream>

namespace vellora {

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  std::string data;
  if (!ec) data.reserve(size);
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

}  // namespace vellora

namespace vellora {

bool is_within(const std::filesystem::path& path, const std::filesystem::path& root) {
  const auto rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

bool metadata_readable(const std::filesystem::path& path) {
  std::error_code ec;
  (void)std::filesystem::status(path, ec);
  return !ec;
}

}  // namespace vellora
