#include "service/finish_update.h"

#include <iostream>

#include "common/file.h"
#include "common/text.h"
#include "desktop/desktop.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "service/binary.h"
#include "service/manifest.h"
#include "service/probe.h"
#include "service/registration.h"
#include "version.h"

namespace vellora {
namespace fs = std::filesystem;

void remember_failed_update(const fs::path& config_dir, const std::string& version) {
  // Only a hint for the checker: when it cannot be written, the next automatic update fails and
  // is put back the same way.
  (void)write_atomic(config_dir / "failed-update", version);
}

bool update_failed_before(const fs::path& config_dir, const std::string& version) {
  const auto text = read_file(config_dir / "failed-update");
  return text && trim(*text) == version;
}

std::expected<void, std::string> finish_update(const fs::path& home, std::uint16_t port,
                                               const std::string& version, const fs::path& target) {
  const auto restarted = restart_and_verify(home, port, version);
  if (restarted) return {};
  remember_failed_update(config_dir(), version);
  const std::string failed = "the update to " + version + " did not start: " + restarted.error();
  const fs::path saved = sibling(target, "prev");
  std::error_code ec;
  if (!fs::exists(saved, ec))
    return std::unexpected(failed + "; no previous version was saved to put back");
  // The new version may still run without answering, holding its file; and the program that
  // installed it (this one, or the `update` it handed over from) may run from the displaced `old`,
  // so the previous version goes straight over the target.
  stop_other_agents();
  if (auto put = replace_binary(saved, target); !put)
    return std::unexpected(failed + "; putting the previous version back failed: " + put.error());
  const std::string back = "; the previous version is back in place at " + display_path(target);
  if (auto again = restart_service(home); !again)
    return std::unexpected(failed + back + ", and restarting it failed too: " + again.error());
  return std::unexpected(failed + back + " and running again");
}

std::expected<void, std::string> finish_update_command(const fs::path& home, std::uint16_t port,
                                                       const std::string& version) {
  if (!valid_version(version))
    return std::unexpected(std::string("usage: vellora-agent finish-update <version>"));
  if (!service_installed(home))
    return std::unexpected(
        std::string("the service is not installed: there is no update to finish"));
  const auto finished = finish_update(home, port, version, installed_exe_path(home));
  if (!finished) {
    (void)show_notification("Vellora: agent update failed", finished.error());
    return finished;
  }
  std::cout << "Updated to " << version << " and service restarted.\n";
  return {};
}

}  // namespace vellora
