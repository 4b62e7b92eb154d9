#include "service/package_manager.h"

#include "common/file.h"
#include "common/text.h"
#include "platform/program.h"

namespace vellora {
namespace fs = std::filesystem;

std::optional<std::string> package_updater(const fs::path& program) {
  std::error_code ec;
  const fs::path real = fs::canonical(program, ec);
  if (ec || real.parent_path().filename() != "bin") return std::nullopt;
  const auto text = read_file(real.parent_path().parent_path() / "lib/vellora-agent/updated-by");
  if (!text) return std::nullopt;
  const std::string updater(trim(*text));
  return updater.empty() ? std::nullopt : std::optional(updater);
}

std::optional<std::string> package_updater_of_this_program() {
  const auto exe = platform::current_exe();
  return exe ? package_updater(*exe) : std::nullopt;
}

std::string package_managed_text(const std::string& updater) {
  return "installed by the system's package manager: update it with " + updater;
}

}  // namespace vellora
