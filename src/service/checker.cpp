#include "service/checker.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "dirs/settings.h"
#include "service/finish_update.h"
#include "service/manifest.h"
#include "service/package_manager.h"
#include "service/probe.h"
#include "service/registration.h"
#include "service/update.h"
#include "service/update_state.h"

namespace vellora {
namespace {

void sleep_seconds(std::uint64_t seconds) {
  // Far beyond any interval anyone sets, and safe from overflow in the clock's arithmetic.
  std::this_thread::sleep_for(std::chrono::seconds(std::min<std::uint64_t>(seconds, 1ull << 32)));
}

}  // namespace

void UpdateChecker::run_cycle() {
  const AutoUpdate policy = load_policy(config_.config_dir);
  if (policy == AutoUpdate::Off) {
    update_state().set_available_version(std::nullopt);
    return;
  }
  const auto manifest = fetch_manifest(config_.origin);
  if (!manifest) {
    std::cerr << "Update check: " << manifest.error() << "\n" << std::flush;
    return;
  }
  // A version this executable's file was already updated to waits only for a restart.
  if (!is_newer(manifest->version, update_state().installed_version(config_.current_version))) {
    update_state().set_available_version(std::nullopt);
    return;
  }
  update_state().set_available_version(manifest->version);
  // A release that did not start once is not installed by itself again; its failure was shown.
  if (update_failed_before(config_.config_dir, manifest->version)) return;
  // A program of a system package is updated by its package manager: it only notifies.
  const auto updater = package_updater_of_this_program();
  const bool installs = policy == AutoUpdate::On && !updater && service_installed(config_.home);
  if (installs && config_.idle()) {
    UpdateOptions options;
    // A compile may have started during the download: the restart would end it.
    options.may_replace = config_.idle;
    options.from_running_agent = true;
    const auto updated =
        perform_update(config_.home, config_.origin, *manifest, config_.port, options);
    if (!updated) std::cerr << "Update check: " << updated.error() << "\n" << std::flush;
    return;
  }
  if (last_notified_ == manifest->version) return;
  // Without the service nothing is installed by itself, whatever the policy says.
  const std::string hint = updater    ? "It is " + package_managed_text(*updater) + "."
                           : installs ? "It will be installed when the agent is idle."
                                      : "To update: vellora-agent update (or from the tray icon).";
  config_.notify("Vellora: agent update",
                 "New version of the local agent: " + config_.current_version + " \u2192 " +
                     manifest->version + ". " + hint);
  last_notified_ = manifest->version;
}

void start_update_checker(CheckerConfig config) {
  std::thread([config = std::move(config)]() mutable {
    const std::uint64_t first = env_seconds("VELLORA_UPDATE_FIRST_SECS", 30);
    const std::uint64_t interval = env_seconds("VELLORA_UPDATE_INTERVAL_SECS", 21600);
    UpdateChecker checker(std::move(config));
    sleep_seconds(first);
    for (;;) {
      checker.run_cycle();
      sleep_seconds(interval);
    }
  }).detach();
}

}  // namespace vellora
