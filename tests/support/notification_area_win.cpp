#include "notification_area_win.h"

#include <shellapi.h>

#include <string_view>

namespace vellora::test {
namespace {

constexpr const wchar_t* CLASS_NAME = L"Shell_TrayWnd";

std::string utf8(std::wstring_view wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// The tooltip inside the data Shell_NotifyIcon sent, found by the text every agent tooltip holds
// ("Idle (127.0.0.1:47474)"), so that the layout around it does not matter.
std::string tooltip_in(const COPYDATASTRUCT& data) {
  const auto* text = static_cast<const wchar_t*>(data.lpData);
  const std::wstring_view all(text, data.cbData / sizeof(wchar_t));
  const std::size_t at = all.find(L"(127.0.0.1:");
  if (at == std::wstring_view::npos) return {};
  std::size_t start = all.rfind(L'\0', at);
  start = start == std::wstring_view::npos ? 0 : start + 1;
  std::size_t end = all.find(L'\0', at);
  if (end == std::wstring_view::npos) end = all.size();
  return utf8(all.substr(start, end - start));
}

}  // namespace

NotificationArea::NotificationArea() {
  thread_ = std::thread([this] { run(); });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
}

NotificationArea::~NotificationArea() {
  if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
  thread_.join();
}

void NotificationArea::run() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = CLASS_NAME;
  RegisterClassExW(&window_class);
  HWND window = CreateWindowExW(0, CLASS_NAME, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleW(nullptr), this);
  {
    std::lock_guard lock(mutex_);
    window_ = window;
    started_ = true;
  }
  changed_.notify_all();
  if (window == nullptr) return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

LRESULT CALLBACK NotificationArea::procedure(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<NotificationArea*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && message == WM_COPYDATA) {
    const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    {
      std::lock_guard lock(self->mutex_);
      self->calls_.push_back(
          Call{static_cast<DWORD>(data.dwData), reinterpret_cast<HWND>(wparam), tooltip_in(data)});
    }
    self->changed_.notify_all();
    return TRUE;
  }
  if (message == WM_CLOSE) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

std::vector<NotificationArea::Call> NotificationArea::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::optional<std::string> NotificationArea::wait_for_tooltip(HWND owner, const std::string& wanted,
                                                              std::chrono::seconds limit) const {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, limit, [&] {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      if (it->owner != owner || it->tooltip.empty()) continue;
      if (it->tooltip.find(wanted) == std::string::npos) return false;
      found = it->tooltip;
      return true;
    }
    return false;
  });
  return found;
}

HWND NotificationArea::wait_for_icon(DWORD pid, std::chrono::seconds limit) const {
  std::unique_lock lock(mutex_);
  HWND found = nullptr;
  changed_.wait_for(lock, limit, [&] {
    for (const Call& call : calls_) {
      DWORD owner_pid = 0;
      GetWindowThreadProcessId(call.owner, &owner_pid);
      if (call.message == NIM_ADD && owner_pid == pid) {
        found = call.owner;
        return true;
      }
    }
    return false;
  });
  return found;
}

void click_tray_item(HWND tray, int item) {
  PostMessageW(tray, WM_COMMAND, MAKEWPARAM(item, 0), 0);
}

}  // namespace vellora::test
