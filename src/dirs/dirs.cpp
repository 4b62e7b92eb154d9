#include "dirs/dirs.h"

#include "common/file.h"
#include "common/text.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/files.h"

namespace vellora {
namespace fs = std::filesystem;

void create_private_dirs(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  // Projects, tokens and pairing codes are the user's alone.
  for (const fs::path& own : {config_dir(), cache_dir()}) {
    if (is_within(dir.lexically_normal(), own.lexically_normal()))
      fs::permissions(own, fs::perms::owner_all, fs::perm_options::replace, ec);
  }
}

std::expected<void, std::string> write_atomic(const fs::path& path, std::string_view bytes) {
  // A directory that cannot be created shows up as the temporary file's error below.
  if (path.has_parent_path()) create_private_dirs(path.parent_path());
  // A name of its own for every write: two writers never share a temporary file.
  unsigned char nonce[8];
  platform::random_bytes(nonce, sizeof nonce);
  fs::path tmp = path;
  tmp += "." + hex_lower(nonce, sizeof nonce) + ".tmp";
  auto written = platform::write_file_durable(tmp, bytes);
  if (written) written = platform::replace_file(tmp, path);
  if (!written) {
    remove_quietly(tmp);
    return std::unexpected("could not save " + platform::path_text(path) +
                           ", it was left unchanged: " + written.error());
  }
  return {};
}

void remove_quietly(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace vellora
