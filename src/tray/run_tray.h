#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tray/tray.h"

namespace vellora {

// What the tray thread is given; the thread owns it.
struct TrayContext {
  std::string site_origin;  // opened by "Open Vellora"
  std::uint16_t port = 0;
  std::string version;
  // Both return at once; their work runs on a thread of its own.
  std::function<void()> update_now;
  std::function<void()> check_now;
  std::function<bool()> is_compiling;
  std::function<std::optional<std::string>()> available_version;
  std::function<std::string()> status_message;
  std::function<bool()> checking;
  std::function<bool()> updating;
  // The version this executable's file was updated to while the agent kept running, if any.
  std::function<std::optional<std::string>()> updated_to;
  // Set when a system package installed this program: the tool that updates it.
  std::optional<std::string> package_updater;
};

// Menu entry ids, top to bottom.
enum TrayItem : int {
  STATUS_ITEM = 1,
  VERSION_ITEM,
  FIRST_SEPARATOR,
  UPDATE_ITEM,
  CHECK_ITEM,
  OPEN_ITEM,
  SECOND_SEPARATOR,
  QUIT_ITEM,
};

// The eight entries as the tray starts: idle, nothing known about updates.
std::vector<MenuEntry> initial_menu(std::uint16_t port, const std::string& version);

// The tray thread's body: shows the icon and runs its loop for the life of the process. Returns
// only when the icon could not be set up, after saying why on standard error.
void run_tray(TrayContext context);

// Ends the agent at once with status 0, after killing the process trees of running compiles.
[[noreturn]] void quit_agent();

}  // namespace vellora
