#include "net/fetch.h"
#include "platform/env.h"
#include "platform/process.h"
#include "tinytex/system.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;

TinyTexSystem tinytex_system() {
  return TinyTexSystem{
      .label = "Windows",
      .architecture = "x86_64",
      .word = "windows",
      .extension = ".exe",
      .root_name = "TinyTeX",
      .identifiers = {"windows"},
      .unpack_tools = {},
      .musl = false,
  };
}

fs::path tinytex_target(const fs::path& home) {
  return tinytex_dir(home);
}

std::expected<void, std::string> unpack_package(const fs::path& package, const fs::path& into,
                                                std::chrono::seconds limit,
                                                net::ToolOutput output) {
  // A self-extracting archive.
  platform::Command command;
  command.program = package;
  command.args = {"-y", "-o" + platform::path_text(into.lexically_normal().make_preferred())};
  command.capture_output = true;
  command.no_window = true;
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
