#pragma once

// A stand-in for the taskbar's notification area (Windows, under wine): a window of the class
// Shell_NotifyIcon talks to, on a thread of its own, that records the icons' messages. Only one
// may exist in a session at a time, so the tests that use it run alone.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vellora::test {

class NotificationArea {
 public:
  // One Shell_NotifyIcon call as it arrived: NIM_ADD, NIM_MODIFY or NIM_DELETE, the window that
  // owns the icon, and the tooltip it carried (empty when none could be read).
  struct Call {
    DWORD message = 0;
    HWND owner = nullptr;
    std::string tooltip;
  };

  NotificationArea();
  ~NotificationArea();
  NotificationArea(const NotificationArea&) = delete;
  NotificationArea& operator=(const NotificationArea&) = delete;

  bool ready() const { return window_ != nullptr; }
  std::vector<Call> calls() const;
  // The latest tooltip of the icons of this window, once one matches `wanted` (a part of it).
  std::optional<std::string> wait_for_tooltip(HWND owner, const std::string& wanted,
                                              std::chrono::seconds limit) const;
  // The window of the first icon added by one of the given processes.
  HWND wait_for_icon(DWORD pid, std::chrono::seconds limit) const;

 private:
  void run();
  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
  HWND window_ = nullptr;
  bool started_ = false;
  std::thread thread_;
};

// Sends a menu command to the agent's tray window, as the popup menu does when an entry is chosen.
void click_tray_item(HWND tray, int item);

}  // namespace vellora::test
