#include "service/binary.h"

#include <algorithm>

#include "common/text.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

std::string failure_text(const platform::FileError& error) {
  if (error.in_use) return std::string(PROGRAM_IN_USE) + " (" + error.text + ")";
  return error.text;
}

// Copies `source` to `to` through a temporary file of a unique name beside it, flushed and then
// moved over `to`: `to` is either what it was or a whole copy, and a leftover `to` is replaced.
std::expected<void, platform::FileError> copy_replacing(MoveFunction move, const fs::path& source,
                                                        const fs::path& to) {
  const fs::path temporary = fs::path(to).concat(".tmp-" + std::to_string(platform::random_u32()));
  if (auto copied = platform::copy_to_new_file(source, temporary); !copied) return copied;
  (void)platform::make_executable(temporary);
  if (auto moved = move(temporary, to); !moved) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return moved;
  }
  return {};
}

}  // namespace

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
  return install_binary_with(platform::move_replacing, source, target);
}

std::expected<void, std::string> install_binary_with(MoveFunction move, const fs::path& source,
                                                     const fs::path& target) {
  std::error_code ec;
  if (target.has_parent_path()) {
    fs::create_directories(target.parent_path(), ec);
    if (ec) return std::unexpected(ec.message());
  }
  const fs::path staged = sibling(target, "new");
  if (auto copied = copy_replacing(move, source, staged); !copied)
    return std::unexpected("could not copy to " + platform::path_text(staged) + ": " +
                           failure_text(copied.error()));
  const auto give_up = [&](const std::string& error) {
    std::error_code ignored;
    fs::remove(staged, ignored);
    return std::unexpected(error);
  };

  const fs::path displaced = sibling(target, "old");
  const bool had_target = fs::exists(fs::symlink_status(target, ec));
  if (had_target) {
    std::error_code ignored;
    fs::remove(displaced, ignored);
    if (auto moved = move(target, displaced); !moved)
      return give_up("could not replace " + platform::path_text(target) + ": " +
                     failure_text(moved.error()));
  }
  if (auto moved = move(staged, target); !moved) {
    const std::string error =
        "could not install to " + platform::path_text(target) + ": " + failure_text(moved.error());
    if (had_target) (void)move(displaced, target);
    return give_up(error);
  }
  return {};
}

std::expected<void, std::string> replace_binary(const fs::path& source, const fs::path& target) {
  if (auto copied = copy_replacing(platform::move_replacing, source, target); !copied)
    return std::unexpected("could not replace " + platform::path_text(target) + ": " +
                           failure_text(copied.error()));
  return {};
}

std::expected<void, std::string> save_previous_version(const fs::path& executable) {
  std::error_code ec;
  if (!fs::exists(executable, ec)) return {};
  if (auto copied =
          copy_replacing(platform::move_replacing, executable, sibling(executable, "prev"));
      !copied)
    return std::unexpected(failure_text(copied.error()));
  return {};
}

std::expected<std::string, std::string> agent_version_of(const fs::path& file,
                                                         std::chrono::milliseconds limit) {
  platform::Command command;
  command.program = file;
  command.args = {"--version"};
  command.capture_output = true;
  command.no_window = true;
  platform::RunOptions options;
  options.time_limit = limit;
  const auto result = platform::run(command, options);
  if (!result) return std::unexpected(result.error());
  if (result->timed_out)
    return std::unexpected(
        "it did not answer --version within " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
        " seconds");
  const std::string out = utf8_lossy(result->out);
  const std::string line(trim(out.substr(0, out.find('\n'))));
  if (!result->success() || !line.starts_with("vellora-agent "))
    return std::unexpected(std::string("it did not answer --version as an agent"));
  return line;
}

}  // namespace vellora
