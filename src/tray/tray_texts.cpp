#include "tray/tray_texts.h"

namespace vellora {
namespace {

constexpr std::string_view DOT = " \u00b7 ";

}  // namespace

std::string tooltip_text(bool compiling, std::uint16_t port,
                         const std::optional<std::string>& available_version) {
  std::string text = compiling ? "Compiling..." : "Idle";
  text += " (127.0.0.1:" + std::to_string(port) + ")";
  if (available_version) text += std::string(DOT) + "Update available: " + *available_version;
  return text;
}

std::string status_line_text(bool compiling, std::uint16_t port) {
  return std::string(compiling ? "Compiling..." : "Agent running") + std::string(DOT) + "port " +
         std::to_string(port);
}

std::string version_line_text(std::string_view version, bool updating, bool checking,
                              const std::optional<std::string>& available_version,
                              std::string_view status_message) {
  std::string text = "Version " + std::string(version);
  const std::string dot(DOT);
  if (updating) return text + dot + "updating...";
  if (checking) return text + dot + "checking...";
  if (available_version) return text + dot + "new: " + *available_version;
  if (status_message.find("latest version") != std::string_view::npos)
    return text + dot + "up to date";
  return text;
}

TrayTexts tray_texts(const ShownValues& shown, std::uint16_t port, std::string_view version,
                     const std::optional<std::string>& package_updater) {
  TrayTexts texts;
  texts.tooltip = tooltip_text(shown.compiling, port, shown.available_version);
  texts.status_line = status_line_text(shown.compiling, port);
  texts.version_line = version_line_text(version, shown.updating, shown.checking,
                                         shown.available_version, shown.status_message);
  texts.check_item = shown.checking ? "Checking..." : "Check for updates";
  texts.check_enabled = !shown.checking && !shown.updating;
  if (shown.updated_to && !shown.updating) {
    // Done on disk; only a restart of this agent is missing. Nothing more to offer until then.
    const std::string finish = "Updated to " + *shown.updated_to + ": restart to finish";
    texts.tooltip += std::string(DOT) + finish;
    texts.version_line = "Version " + std::string(version) + std::string(DOT) + *shown.updated_to +
                         " installed, restart to finish";
    texts.update_item = finish;
    texts.update_enabled = false;
    return texts;
  }
  if (package_updater) {
    texts.update_item =
        "Installed by the system's package manager: update it with " + *package_updater;
    texts.update_enabled = false;
    return texts;
  }
  if (shown.updating) {
    texts.update_item = "Updating...";
  } else if (!shown.available_version) {
    texts.update_item = "Update the agent";
  } else {
    texts.update_item = "Update the agent to version " + *shown.available_version;
  }
  texts.update_enabled = shown.available_version.has_value() && !shown.updating;
  return texts;
}

}  // namespace vellora
