#include "service/binary.h"

#include <algorithm>

#include "platform/env.h"
#include "platform/program.h"

namespace vellora {
namespace fs = std::filesystem;

fs::path sibling(const fs::path& executable, std::string_view extension) {
  fs::path path = executable;
  path.replace_extension(extension);
  return path;
}

std::string display_path(const fs::path& path) {
  std::string text = platform::path_text(path);
  if (platform::on_windows()) std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

std::expected<void, std::string> install_binary(const fs::path& source, const fs::path& target) {
  return install_binary_with([](const fs::path& from, const fs::path& to,
                                std::error_code& ec) { fs::rename(from, to, ec); },
                             source, target);
}

std::expected<void, std::string> install_binary_with(RenameFunction rename, const fs::path& source,
                                                     const fs::path& target) {
  std::error_code ec;
  if (target.has_parent_path()) {
    fs::create_directories(target.parent_path(), ec);
    if (ec) return std::unexpected(ec.message());
  }
  const fs::path staged = sibling(target, "new");
  fs::copy_file(source, staged, fs::copy_options::overwrite_existing, ec);
  if (ec)
    return std::unexpected("could not copy to " + platform::path_text(staged) + ": " +
                           ec.message());
  (void)platform::make_executable(staged);

  const fs::path displaced = sibling(target, "old");
  const bool had_target = fs::exists(fs::symlink_status(target, ec));
  if (had_target) {
    std::error_code ignored;
    fs::remove(displaced, ignored);
    rename(target, displaced, ec);
    if (ec)
      return std::unexpected("could not replace " + platform::path_text(target) + ": " +
                             ec.message());
  }
  rename(staged, target, ec);
  if (ec) {
    const std::string error =
        "could not install to " + platform::path_text(target) + ": " + ec.message();
    std::error_code ignored;
    if (had_target) rename(displaced, target, ignored);
    return std::unexpected(error);
  }
  return {};
}

}  // namespace vellora
