#include "compile/output_files.h"

#include <fstream>

#include "common/file.h"
#include "platform/links.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::optional<std::uintmax_t> plain_file_size(const fs::path& path) {
  if (platform::is_link(path)) return std::nullopt;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  const auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return size;
}

std::optional<std::string> read_range(std::ifstream& in, std::uintmax_t offset, std::size_t size) {
  std::string data(size, '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(data.data(), static_cast<std::streamsize>(size));
  if (!in) return std::nullopt;
  return data;
}

}  // namespace

OutputFile read_output_file(const fs::path& path, std::uintmax_t limit) {
  OutputFile file;
  const auto size = plain_file_size(path);
  if (!size) return file;
  if (*size > limit) {
    file.too_large = *size;
    return file;
  }
  file.bytes = read_file(path);
  if (file.bytes && file.bytes->size() > limit) {
    file.too_large = file.bytes->size();
    file.bytes.reset();
  }
  return file;
}

std::optional<std::string> read_log_bounded(const fs::path& path, std::size_t head,
                                            std::size_t tail) {
  const auto size = plain_file_size(path);
  if (!size) return std::nullopt;
  if (*size <= head + tail) return read_file(path);
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  auto start = read_range(in, 0, head);
  auto end = read_range(in, *size - tail, tail);
  if (!start || !end) return std::nullopt;
  // Whole characters only: a cut through one would make the log invalid UTF-8.
  std::size_t trailing = 0;
  while (trailing < 3 && trailing < start->size() &&
         is_continuation_byte((*start)[start->size() - 1 - trailing]))
    ++trailing;
  if (trailing < start->size()) {
    const std::size_t lead_at = start->size() - 1 - trailing;
    const auto lead = static_cast<unsigned char>((*start)[lead_at]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length > trailing + 1) start->resize(lead_at);
  }
  std::size_t skip = 0;
  while (skip < end->size() && is_continuation_byte((*end)[skip])) ++skip;
  end->erase(0, skip);
  const std::uintmax_t left_out = *size - start->size() - end->size();
  return *start + "\n[... " + std::to_string(left_out) + " bytes of the log left out ...]\n" + *end;
}

}  // namespace vellora
