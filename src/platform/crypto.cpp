#include "platform/crypto.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/text.h"

namespace vellora::platform {

std::string sha256_hex(std::string_view bytes) {
  const Digest digest = sha256(bytes);
  return hex_lower(digest.data(), digest.size());
}

std::expected<std::string, std::string> sha256_file(const std::filesystem::path& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(std::string(std::strerror(errno ? errno : ENOENT)));
  Sha256 hash;
  std::vector<char> buffer(65536);
  while (in) {
    errno = 0;
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) return std::unexpected(std::string(std::strerror(errno ? errno : EIO)));
    hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  const auto digest = hash.finish();
  return hex_lower(digest.data(), digest.size());
}

std::uint32_t random_u32() {
  unsigned char bytes[4];
  random_bytes(bytes, sizeof bytes);
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace vellora::platform
