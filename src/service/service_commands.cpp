#include "service/service_commands.h"

#include <iostream>
#include <optional>

#include "dirs/dirs.h"
#include "dirs/settings.h"
#include "platform/env.h"
#include "platform/program.h"
#include "service/binary.h"
#include "service/package_manager.h"
#include "service/probe.h"
#include "service/registration.h"
#include "version.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code ec_a, ec_b;
  const fs::path ca = fs::canonical(a, ec_a);
  const fs::path cb = fs::canonical(b, ec_b);
  return !ec_a && !ec_b && ca == cb;
}

}  // namespace

std::expected<void, std::string> install_command(const fs::path& home, std::uint16_t port) {
  const auto exe = platform::current_exe();
  if (!exe) return std::unexpected(exe.error());
  const auto before = query_running_agent(port);
  const bool was_installed = service_installed(home);
  // A program of a system package stays where the package put it, under the package's unit.
  const bool packaged = package_updater(*exe).has_value();
  const fs::path installed = packaged ? *exe : installed_exe_path(home);
  if (!same_file(*exe, installed)) {
    if (auto copied = install_binary(*exe, installed); !copied) return copied;
  }
  if (auto registered = packaged ? register_packaged_service(home) : register_service(home);
      !registered)
    return registered;
  std::cout << "Agent " << VERSION << " installed at " << display_path(installed) << "\n"
            << std::flush;
  if (auto verified = restart_and_verify(home, port, std::string(VERSION)); !verified)
    return verified;
  if (!before || !was_installed) {
    std::cout << "Service installed and started.\n";
  } else if (*before != VERSION) {
    std::cout << "Service updated: " << *before << " \u2192 " << VERSION << "\n";
  } else {
    std::cout << "Service restarted (same version).\n";
  }
  std::cout << "On the first compilation the browser asks for the pairing code; to generate one "
               "now: vellora-agent code\n";
  return {};
}

void uninstall_command(const fs::path& home) {
  if (const auto exe = platform::current_exe(); exe && package_updater(*exe)) {
    // The package's files are the package manager's to remove.
    unregister_packaged_service(home);
    stop_other_agents();
    std::cout << "Service removed.\n";
    return;
  }
  unregister_service(home);
  stop_other_agents();
  const fs::path installed = installed_exe_path(home);
  // A staging copy left by an interrupted installation goes too: nothing but the directory stays.
  for (const fs::path& file :
       {sibling(installed, "prev"), sibling(installed, "old"), sibling(installed, "new")}) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(file, ec))) fs::remove(file, ec);
  }
  // Run from the installed copy, Windows cannot delete the file while it runs.
  const auto exe = platform::current_exe();
  std::optional<std::string> own_file_note;
  if (exe && same_file(*exe, installed)) {
    const auto removed = platform::remove_own_file(installed);
    if (!removed)
      own_file_note = display_path(installed) + " could not be removed (" + removed.error() +
                      "): delete it once this program has ended.";
    else if (*removed)
      own_file_note = display_path(installed) + " is removed once this program has ended.";
  } else {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(installed, ec))) fs::remove(installed, ec);
  }
  std::cout << "Service removed.\n";
  if (own_file_note) std::cout << *own_file_note << "\n";
}

std::string status_text(const fs::path& home, std::uint16_t port) {
  const auto exe = platform::current_exe();
  std::string text = "This binary:    " + std::string(VERSION) + " (" +
                     (exe ? platform::path_text(*exe) : std::string()) + ")\n";
  // A program of a system package runs as itself, under the package's unit; otherwise the
  // service runs the installed copy.
  const fs::path program = exe && package_updater(*exe) ? *exe : installed_exe_path(home);
  text += "Service:        " + service_status_text(home, program) + "\n";
  if (const auto running = query_running_agent(port)) {
    text += "Running:        yes, version " + *running + " on port " + std::to_string(port) + "\n";
  } else {
    text += "Running:        no\n";
  }
  text += "Updates:        " + std::string(policy_text(load_policy(config_dir()))) + "\n";
  return text;
}

std::expected<void, std::string> launch_command() {
  const auto exe = platform::current_exe();
  return start_background(exe ? *exe : fs::path());
}

}  // namespace vellora
