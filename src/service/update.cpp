#include "service/update.h"

#include <chrono>
#include <iostream>

#include "common/file.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "dirs/settings.h"
#include "net/confirm.h"
#include "net/fetch.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "service/binary.h"
#include "service/finish_update.h"
#include "service/package_manager.h"
#include "service/probe.h"
#include "service/registration.h"
#include "version.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// A downloaded binary that does not answer --version in this time is taken as not running.
constexpr auto TRIAL_RUN_LIMIT = std::chrono::seconds(30);

// Downloaded agents of earlier updates that were interrupted; the TinyTeX package stays.
void remove_update_leftovers(const fs::path& downloads) {
  std::error_code ec;
  for (fs::directory_iterator it(downloads, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().starts_with("vellora-agent-")) remove_quietly(it->path());
}

std::expected<fs::path, std::string> update_target(const fs::path& home) {
  if (service_installed(home)) return installed_exe_path(home);
  return platform::current_exe();
}

}  // namespace

std::expected<void, std::string> trial_run(const fs::path& file, const std::string& version,
                                           std::chrono::milliseconds limit) {
  if (auto made = platform::make_executable(file); !made)
    return std::unexpected("the downloaded binary does not run: " + made.error());
  platform::Command command;
  command.program = file;
  command.args = {"--version"};
  command.capture_output = true;
  command.no_window = true;
  platform::RunOptions options;
  options.time_limit = limit;
  const auto result = platform::run(command, options);
  if (!result) return std::unexpected("the downloaded binary does not run: " + result.error());
  if (result->timed_out) {
    remove_quietly(file);
    return std::unexpected(
        "the downloaded binary does not run: it did not answer --version within " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
        " seconds; nothing was changed");
  }
  // Exactly this version: "1" must not pass for a build of 0.4.10, nor "5" for this very build.
  if (trim(utf8_lossy(result->out)) != "vellora-agent " + version) {
    remove_quietly(file);
    return std::unexpected(
        std::string("the downloaded binary is not the announced version: nothing was changed"));
  }
  return {};
}

std::expected<UpdateOutcome, std::string> perform_update(const fs::path& home,
                                                         const std::string& origin,
                                                         const UpdateManifest& manifest,
                                                         std::uint16_t port,
                                                         const UpdateOptions& options) {
  if (const auto updater = package_updater_of_this_program())
    return std::unexpected(package_managed_text(*updater));
  const fs::path downloads = cache_dir() / "downloads";
  std::error_code ec;
  fs::create_directories(downloads, ec);
  if (ec)
    return std::unexpected("could not create " + platform::path_text(downloads) + ": " +
                           ec.message());
  remove_update_leftovers(downloads);
  const fs::path file =
      downloads / ("vellora-agent-" + manifest.version + (platform::on_windows() ? ".exe" : ""));
  // The folder holds files only while an update runs: a failed one leaves nothing behind.
  const auto failed = [&file](std::string error) {
    remove_quietly(file);
    return std::unexpected(std::move(error));
  };
  if (auto downloaded = net::download_file(origin + "/static/agent/" + release_asset_name(), file,
                                           options.tool_output);
      !downloaded)
    return failed(downloaded.error());
  const auto digest = platform::sha256_file(file);
  if (!digest) return failed(digest.error());
  if (*digest != manifest.sha256)
    return failed(
        "the downloaded file's SHA-256 does not match the published one: nothing was changed");
  if (auto ran = trial_run(file, manifest.version, TRIAL_RUN_LIMIT); !ran)
    return failed(ran.error());

  const bool installed = service_installed(home);
  const auto target = installed ? std::expected<fs::path, std::string>(installed_exe_path(home))
                                : platform::current_exe();
  if (!target) return failed(target.error());
  if (options.may_replace && !options.may_replace()) {
    remove_quietly(file);
    return UpdateOutcome::Skipped;
  }
  if (auto saved = save_previous_version(*target); !saved)
    return failed("could not save the current version: " + saved.error() + "; nothing was changed");
  if (auto put = install_binary(file, *target); !put) return failed(put.error());
  remove_quietly(file);

  if (!installed) {
    std::cout << "Updated to " << manifest.version << " at " << platform::path_text(*target)
              << " (the service is not installed; restart the agent if it is running).\n"
              << std::flush;
    return UpdateOutcome::Installed;
  }
  if (options.from_running_agent) {
    // This agent holds the port and is stopped by the restart: the saved previous program
    // restarts the service, checks the new version and puts itself back when that fails.
    std::cout << "Update check: installing " << manifest.version << " and restarting the service\n"
              << std::flush;
    const auto handed = platform::start_in_background(sibling(*target, "prev"),
                                                      {"finish-update", manifest.version});
    if (!handed) {
      if (auto restarted = hand_over_restart(home); !restarted)
        return std::unexpected("the update to " + manifest.version + " was written to " +
                               platform::path_text(*target) +
                               "; restarting the service failed: " + restarted.error());
    }
    return UpdateOutcome::Installed;
  }
  if (auto finished = finish_update(home, port, manifest.version, *target); !finished)
    return std::unexpected(finished.error());
  std::cout << "Updated to " << manifest.version << " and service restarted.\n" << std::flush;
  return UpdateOutcome::Installed;
}

std::expected<void, std::string> update_command(const fs::path& home, const std::string& origin,
                                                bool assume_yes, std::uint16_t port) {
  if (const auto updater = package_updater_of_this_program())
    return std::unexpected(package_managed_text(*updater));
  const auto manifest = fetch_manifest(origin);
  if (!manifest) return std::unexpected(manifest.error());
  if (!is_newer(manifest->version, VERSION)) {
    std::cout << "You are already on the latest version (" << VERSION << ").\n";
    return {};
  }
  std::cout << "New version available: " << VERSION << " \u2192 " << manifest->version << "\n";
  const auto answer = net::confirm("Update now?", assume_yes);
  if (!answer) return std::unexpected(answer.error());
  if (!*answer) {
    std::cout << "Cancelled.\n";
    return {};
  }
  UpdateOptions options;
  // At a terminal the user sees the download's progress.
  if (platform::stdin_is_terminal()) options.tool_output = net::ToolOutput::Shown;
  const auto updated = perform_update(home, origin, *manifest, port, options);
  if (!updated) return std::unexpected(updated.error());
  return {};
}

std::expected<void, std::string> rollback_command(const fs::path& home) {
  const auto target = update_target(home);
  if (!target) return std::unexpected(target.error());
  const fs::path saved = sibling(*target, "prev");
  std::error_code ec;
  if (!fs::exists(saved, ec))
    return std::unexpected(std::string("there is no previous version saved"));
  // A saved copy that does not run (cut short by a full disk, damaged since) is never installed.
  if (auto runs = agent_version_of(saved, TRIAL_RUN_LIMIT); !runs)
    return std::unexpected("the saved previous version " + platform::path_text(saved) +
                           " does not run (" + runs.error() + "); nothing was changed");
  if (auto put = install_binary(saved, *target); !put) return put;
  if (service_installed(home)) {
    // Not verified: the restored version may be one that cannot answer as expected.
    if (auto restarted = restart_service(home); !restarted)
      return std::unexpected("the previous version is back in place at " +
                             platform::path_text(*target) +
                             ", but the service could not be restarted: " + restarted.error());
  }
  std::cout << "Previous version restored at " << platform::path_text(*target) << ".\n";
  return {};
}

std::expected<void, AutoUpdateError> auto_update_command(const fs::path& config_dir,
                                                         const std::optional<std::string>& arg) {
  if (!arg) {
    std::cout << "Automatic update: " << policy_text(load_policy(config_dir))
              << " (off = does not query; notify = only notifies; on = installs by itself)\n";
    return {};
  }
  const std::string word = to_lower_ascii(*arg);
  AutoUpdate policy;
  if (word == "off") {
    policy = AutoUpdate::Off;
  } else if (word == "notify") {
    policy = AutoUpdate::Notify;
  } else if (word == "on" || word == "auto") {
    policy = AutoUpdate::On;
  } else {
    return std::unexpected(
        AutoUpdateError{"usage: vellora-agent auto-update [off|notify|on]", true});
  }
  std::error_code ec;
  fs::create_directories(config_dir, ec);
  if (ec)
    return std::unexpected(AutoUpdateError{"could not create " + platform::path_text(config_dir) +
                                           ": " + ec.message()});
  // Replaced whole by a rename, so an interrupted write never leaves an empty or half file.
  const fs::path file = config_dir / "settings.json";
  const std::string text = settings_text(policy);
  if (auto written = write_atomic(file, text); !written)
    return std::unexpected(AutoUpdateError{written.error()});
  // The checker reads the file at every check: no restart is needed.
  std::cout << "Automatic update: " << policy_text(policy)
            << " (a running agent follows it from its next update check)\n";
  return {};
}

}  // namespace vellora
