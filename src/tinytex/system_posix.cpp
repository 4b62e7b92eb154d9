#include <sys/utsname.h>

#include "common/file.h"
#include "common/text.h"
#include "net/fetch.h"
#include "platform/process.h"
#include "tinytex/system.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// "ID" then the words of "ID_LIKE" in /etc/os-release.
std::vector<std::string> os_identifiers() {
  std::vector<std::string> ids, like;
  const auto text = read_file("/etc/os-release");
  if (!text) return ids;
  for (std::string_view line : split_lines(*text)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq);
    std::string_view value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (key == "ID" && !value.empty()) ids.insert(ids.begin(), to_lower_ascii(value));
    if (key == "ID_LIKE")
      for (std::string_view word : split(value, ' '))
        if (!word.empty()) like.push_back(to_lower_ascii(word));
  }
  ids.insert(ids.end(), like.begin(), like.end());
  return ids;
}

bool is_musl() {
  std::error_code ec;
  for (fs::directory_iterator it("/lib", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().native().starts_with("ld-musl-")) return true;
  platform::Command command;
  command.program = "ldd";
  command.args = {"--version"};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(10);
  const auto result = platform::run(command, options);
  return result && to_lower_ascii(result->out + result->err).find("musl") != std::string::npos;
}

}  // namespace

TinyTexSystem tinytex_system() {
  utsname names{};
  ::uname(&names);
  const std::string machine = names.machine;
  const bool arm = machine == "aarch64" || machine == "arm64";
  return TinyTexSystem{
      .label = "Linux",
      .architecture = arm ? "aarch64" : "x86_64",
      .word = arm ? "linux-arm64" : "linux-x86_64",
      .extension = ".tar.xz",
      .root_name = ".TinyTeX",
      .identifiers = os_identifiers(),
      .unpack_tools = {"tar", "xz"},
      .musl = is_musl(),
  };
}

fs::path tinytex_target(const fs::path& home) {
  return home / ".TinyTeX";
}

std::expected<void, std::string> unpack_package(const fs::path& package, const fs::path& into,
                                                std::chrono::seconds limit,
                                                net::ToolOutput output) {
  platform::Command command;
  command.program = net::locate_program("tar").value_or("tar");
  command.args = {"-xJf", package.native(), "-C", into.native()};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = limit;
  options.output_limit = 65536;
  options.echo_output = output == net::ToolOutput::Shown;
  const auto result = platform::run(command, options);
  if (!result) return std::unexpected(result.error());
  if (result->timed_out)
    return std::unexpected("still unpacking after " + std::to_string(limit.count()) + " seconds");
  if (!result->success()) return std::unexpected(net::last_error_line(result->err));
  return {};
}

}  // namespace vellora
