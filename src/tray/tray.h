#pragma once

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "tray/tray_icon.h"

namespace vellora {

// One entry of the tray's menu; separators have no text and are never clicked.
struct MenuEntry {
  int id = 0;
  std::string text;
  bool enabled = false;
  bool separator = false;
};

// Whether the desktop shows the icon.
enum class TrayPresence {
  pending,       // asked, no answer yet
  shown,         // the desktop's tray accepted the icon
  no_tray,       // no tray on this desktop (yet): the icon appears when one starts
  reconnecting,  // the connection to the desktop was lost; it is made again
};

struct TrayError {
  // The menu could not be assembled (otherwise the icon itself could not be created).
  bool menu = false;
  std::string reason;
};

// The system's notification-area icon with its menu: a Win32 notification icon on Windows, a
// StatusNotifierItem with a com.canonical.dbusmenu menu on the session bus elsewhere. Owned and
// used by one thread, which must call pump() often.
class TrayIcon {
 public:
  static std::expected<std::unique_ptr<TrayIcon>, TrayError> create(
      const std::vector<MenuEntry>& menu, const std::string& tooltip, const IconImage& image);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Failures leave what was shown before.
  void set_image(const IconImage& image);
  void set_tooltip(const std::string& tooltip);
  void set_item(int id, const std::string& text, bool enabled);

  // Handles what the system has sent, without waiting.
  void pump();
  // The ids of the enabled entries clicked since the last call, oldest first.
  std::vector<int> take_clicks();
  // What the desktop made of the icon, as of the last pump().
  TrayPresence presence() const;

  struct Impl;

 private:
  explicit TrayIcon(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vellora
