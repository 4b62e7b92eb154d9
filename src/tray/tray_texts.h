#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellora {

// The values the tray's texts are built from, as last shown.
struct ShownValues {
  bool compiling = false;
  std::optional<std::string> available_version;
  std::string status_message;
  bool checking = false;
  bool updating = false;
  // The version this executable's file was updated to; the running agent needs a restart.
  std::optional<std::string> updated_to;
  bool operator==(const ShownValues&) const = default;
};

// "Idle (127.0.0.1:47474)", "Compiling... (127.0.0.1:47474) · Update available: 0.5.0".
std::string tooltip_text(bool compiling, std::uint16_t port,
                         const std::optional<std::string>& available_version);
// "Agent running · port 47474" or "Compiling... · port 47474".
std::string status_line_text(bool compiling, std::uint16_t port);
// "Version 0.4.15" with the first of: updating, checking, a new version, up to date.
std::string version_line_text(std::string_view version, bool updating, bool checking,
                              const std::optional<std::string>& available_version,
                              std::string_view status_message);

// Every changeable text of the tray and the two enabled states, for one set of shown values.
struct TrayTexts {
  std::string tooltip;
  std::string status_line;
  std::string version_line;
  std::string update_item;
  bool update_enabled = false;
  std::string check_item;
  bool check_enabled = false;
  bool operator==(const TrayTexts&) const = default;
};
// `package_updater`: the tool that updates this program when a system package installed it
// ("apt"); the tray then offers no update of its own.
TrayTexts tray_texts(const ShownValues& shown, std::uint16_t port, std::string_view version,
                     const std::optional<std::string>& package_updater = std::nullopt);

}  // namespace vellora
