#include "tray/run_tray.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "desktop/desktop.h"
#include "platform/env.h"
#include "platform/running_trees.h"
#include "tray/tray_texts.h"

namespace vellora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto LOOP_PERIOD = std::chrono::milliseconds(40);
constexpr auto REFRESH_PERIOD = std::chrono::seconds(1);

// The least time between two "Open Vellora": a burst of clicks (or of messages sent over the
// bus) opens one browser window, not hundreds. VELLORA_OPEN_PAUSE_MS, 2000 unless set.
std::chrono::milliseconds open_pause() {
  if (const auto value = platform::get_env("VELLORA_OPEN_PAUSE_MS")) {
    std::uint64_t ms = 0;
    const std::string& text = value->text;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size())
      return std::chrono::milliseconds(std::min<std::uint64_t>(ms, 86400000));
  }
  return std::chrono::milliseconds(2000);
}

ShownValues read_values(const TrayContext& context) {
  ShownValues values;
  values.compiling = context.is_compiling();
  values.available_version = context.available_version();
  values.status_message = context.status_message();
  values.checking = context.checking();
  values.updating = context.updating();
  if (context.updated_to) values.updated_to = context.updated_to();
  return values;
}

// The line that says what the desktop made of the icon; none while it has not answered.
const char* presence_line(TrayPresence presence) {
  switch (presence) {
    case TrayPresence::shown:
      return "System tray icon: active.";
    case TrayPresence::no_tray:
      return "System tray icon: waiting for a tray (none on this desktop yet)";
    case TrayPresence::reconnecting:
      return "System tray icon: the session bus closed; connecting again";
    case TrayPresence::pending:
      break;
  }
  return nullptr;
}

void show_texts(TrayIcon& icon, const TrayTexts& texts) {
  icon.set_tooltip(texts.tooltip);
  icon.set_item(STATUS_ITEM, texts.status_line, false);
  icon.set_item(VERSION_ITEM, texts.version_line, false);
  icon.set_item(UPDATE_ITEM, texts.update_item, texts.update_enabled);
  icon.set_item(CHECK_ITEM, texts.check_item, texts.check_enabled);
}

}  // namespace

std::vector<MenuEntry> initial_menu(std::uint16_t port, const std::string& version) {
  const TrayTexts texts = tray_texts(ShownValues{}, port, version);
  return {
      {STATUS_ITEM, texts.status_line, false, false},
      {VERSION_ITEM, texts.version_line, false, false},
      {FIRST_SEPARATOR, "", false, true},
      {UPDATE_ITEM, texts.update_item, texts.update_enabled, false},
      {CHECK_ITEM, texts.check_item, texts.check_enabled, false},
      {OPEN_ITEM, "Open Vellora", true, false},
      {SECOND_SEPARATOR, "", false, true},
      {QUIT_ITEM, "Quit", true, false},
  };
}

void quit_agent() {
  // Engines and tlmgr run in process trees of their own; without this they would outlive us.
  platform::kill_running_trees();
  std::fflush(nullptr);
  std::_Exit(0);
}

void run_tray(TrayContext context) {
  ShownValues shown;
  auto created = TrayIcon::create(initial_menu(context.port, context.version),
                                  tray_texts(shown, context.port, context.version).tooltip,
                                  tray_icon_image(shown.compiling));
  if (!created) {
    if (created.error().menu) {
      std::cerr << "Tray icon: could not build the menu\n" << std::flush;
    } else {
      std::cerr << "Tray icon unavailable: " << created.error().reason << "\n" << std::flush;
    }
    return;
  }
  TrayIcon& icon = **created;
  std::optional<TrayPresence> told;
  // A packaged program's update entry says so from the start.
  if (context.package_updater)
    show_texts(icon, tray_texts(shown, context.port, context.version, context.package_updater));

  auto last_refresh = Clock::now() - std::chrono::seconds(5);
  const auto pause = open_pause();
  std::optional<Clock::time_point> last_open;
  while (true) {
    icon.pump();
    if (const TrayPresence now = icon.presence(); now != told) {
      if (const char* line = presence_line(now)) {
        std::cout << line << "\n" << std::flush;
        told = now;
      }
    }
    for (const int id : icon.take_clicks()) {
      switch (id) {
        case OPEN_ITEM:
          if (!last_open || Clock::now() - *last_open >= pause) {
            last_open = Clock::now();
            open_in_browser(context.site_origin);
          }
          break;
        case QUIT_ITEM:
          quit_agent();
        case CHECK_ITEM:
          // Only the shown flag: the texts follow at the next refresh that sees a change.
          shown.checking = true;
          context.check_now();
          break;
        case UPDATE_ITEM:
          shown.updating = true;
          context.update_now();
          break;
        default:
          break;
      }
    }
    if (Clock::now() - last_refresh >= REFRESH_PERIOD) {
      last_refresh = Clock::now();
      ShownValues values = read_values(context);
      if (values.compiling != shown.compiling) icon.set_image(tray_icon_image(values.compiling));
      if (values != shown) {
        shown = std::move(values);
        show_texts(icon, tray_texts(shown, context.port, context.version, context.package_updater));
      }
    }
    std::this_thread::sleep_for(LOOP_PERIOD);
  }
}

}  // namespace vellora
