// The tray as a Win32 notification-area icon: a hidden window owned by the tray thread receives
// the icon's clicks, shows the popup menu and turns menu commands into clicks for the loop.

#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/wide_text.h"
#include "tray/tray.h"

namespace vellora {
namespace {

constexpr UINT ICON_MESSAGE = WM_APP + 1;
constexpr UINT ICON_ID = 1;
constexpr const wchar_t* WINDOW_CLASS = L"VelloraAgentTray";
// While the notification area refuses the icon (the agent started at log-on before Explorer's
// taskbar, or Explorer is busy), adding it is tried again this often.
constexpr auto ADD_RETRY = std::chrono::seconds(1);

// The system's text for the last error, or `what` when the failing call set none.
std::string last_error_text(const char* what) {
  const DWORD code = GetLastError();
  if (code == 0) return what;
  wchar_t* message = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text;
  for (DWORD i = 0; i < n; ++i) {
    // System messages are ASCII in practice; anything else is shown as "?".
    const wchar_t c = message[i];
    if (c != L'\r' && c != L'\n') text += c < 128 ? static_cast<char>(c) : '?';
  }
  if (message) LocalFree(message);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text + " (os error " + std::to_string(code) + ")";
}

// Menu texts mark access keys with "&"; a literal one is doubled.
std::wstring menu_text(const std::string& text) {
  std::wstring wide;
  for (wchar_t c : platform::widen(text)) {
    wide += c;
    if (c == L'&') wide += L'&';
  }
  return wide;
}

UINT menu_flags(const MenuEntry& entry) {
  return MF_STRING | (entry.enabled ? MF_ENABLED : MF_GRAYED);
}

// A 32-bit colour bitmap with alpha (the mask is then ignored but must exist).
HICON make_icon(const IconImage& image) {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = ICON_SIZE;
  header.bV5Height = -ICON_SIZE;  // rows top to bottom
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!colour) return nullptr;
  auto* out = static_cast<BYTE*>(bits);
  for (std::size_t i = 0; i < image.size(); i += 4) {
    out[i] = image[i + 2];
    out[i + 1] = image[i + 1];
    out[i + 2] = image[i];
    out[i + 3] = image[i + 3];
  }
  const BYTE mask_bits[ICON_SIZE * ICON_SIZE / 8] = {};
  HBITMAP mask = CreateBitmap(ICON_SIZE, ICON_SIZE, 1, 1, mask_bits);
  ICONINFO info{TRUE, 0, 0, mask, colour};
  HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
  if (mask) DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace

struct TrayIcon::Impl {
  HWND window = nullptr;
  HMENU menu = nullptr;
  HICON icon = nullptr;
  UINT taskbar_created = 0;
  bool shown = false;
  std::chrono::steady_clock::time_point last_add;
  std::vector<MenuEntry> entries;
  std::wstring tooltip;
  std::vector<int> clicks;

  ~Impl() {
    if (shown) notify(NIM_DELETE, 0);
    if (window) DestroyWindow(window);
    if (menu) DestroyMenu(menu);
    if (icon) DestroyIcon(icon);
  }

  bool notify(DWORD action, UINT flags) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = ICON_ID;
    data.uFlags = flags;
    data.uCallbackMessage = ICON_MESSAGE;
    data.hIcon = icon;
    const std::size_t n = std::min(tooltip.size(), std::size(data.szTip) - 1);
    std::copy_n(tooltip.begin(), n, data.szTip);
    return Shell_NotifyIconW(action, &data);
  }

  bool add() {
    last_add = std::chrono::steady_clock::now();
    return shown = notify(NIM_ADD, NIF_MESSAGE | NIF_ICON | NIF_TIP);
  }

  MenuEntry* entry(int id) {
    auto it = std::find_if(entries.begin(), entries.end(), [id](auto& e) { return e.id == id; });
    return it == entries.end() ? nullptr : &*it;
  }

  // The menu runs its own modal loop here; the chosen entry arrives as WM_COMMAND.
  void show_menu() {
    POINT at{};
    GetCursorPos(&at);
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);  // lets the menu close when the user clicks elsewhere
  }

  LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == ICON_MESSAGE) {
      if (LOWORD(lparam) == WM_LBUTTONUP || LOWORD(lparam) == WM_RBUTTONUP) show_menu();
      return 0;
    }
    if (message == WM_COMMAND) {
      const int id = LOWORD(wparam);
      if (const MenuEntry* e = entry(id); e && e->enabled && !e->separator) clicks.push_back(id);
      return 0;
    }
    if (taskbar_created != 0 && message == taskbar_created) {
      add();  // Explorer restarted and forgot every icon
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }
};

namespace {

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    auto* impl = static_cast<TrayIcon::Impl*>(create->lpCreateParams);
    impl->window = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl));
  }
  auto* impl = reinterpret_cast<TrayIcon::Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!impl) return DefWindowProcW(window, message, wparam, lparam);
  return impl->handle(message, wparam, lparam);
}

}  // namespace

std::expected<std::unique_ptr<TrayIcon>, TrayError> TrayIcon::create(
    const std::vector<MenuEntry>& menu, const std::string& tooltip, const IconImage& image) {
  auto impl = std::make_unique<Impl>();
  impl->entries = menu;
  impl->tooltip = platform::widen(tooltip);

  impl->menu = CreatePopupMenu();
  if (!impl->menu) return std::unexpected(TrayError{true, last_error_text("no menu")});
  for (const MenuEntry& entry : menu) {
    const BOOL ok =
        entry.separator
            ? AppendMenuW(impl->menu, MF_SEPARATOR, static_cast<UINT_PTR>(entry.id), nullptr)
            : AppendMenuW(impl->menu, menu_flags(entry), static_cast<UINT_PTR>(entry.id),
                          menu_text(entry.text).c_str());
    if (!ok) return std::unexpected(TrayError{true, last_error_text("no menu")});
  }

  // A hidden top-level window rather than a message-only one: only top-level windows receive the
  // "TaskbarCreated" broadcast that tells us to add the icon again after Explorer restarts.
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = WINDOW_CLASS;
  if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    return std::unexpected(TrayError{false, last_error_text("could not register the tray window")});
  SetLastError(0);
  if (!CreateWindowExW(WS_EX_TOOLWINDOW, WINDOW_CLASS, L"Vellora agent", WS_POPUP, 0, 0, 0, 0,
                       nullptr, nullptr, instance, impl.get()))
    return std::unexpected(TrayError{false, last_error_text("could not create the tray window")});
  impl->taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");

  SetLastError(0);
  impl->icon = make_icon(image);
  if (!impl->icon)
    return std::unexpected(TrayError{false, last_error_text("could not create the icon")});
  // Refused now, it is added once the taskbar takes it (see pump and TaskbarCreated).
  impl->add();
  return std::unique_ptr<TrayIcon>(new TrayIcon(std::move(impl)));
}

TrayIcon::TrayIcon(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TrayIcon::~TrayIcon() = default;

void TrayIcon::set_image(const IconImage& image) {
  HICON icon = make_icon(image);
  if (!icon) return;
  std::swap(impl_->icon, icon);
  impl_->notify(NIM_MODIFY, NIF_ICON);
  DestroyIcon(icon);
}

void TrayIcon::set_tooltip(const std::string& tooltip) {
  impl_->tooltip = platform::widen(tooltip);
  impl_->notify(NIM_MODIFY, NIF_TIP);
}

void TrayIcon::set_item(int id, const std::string& text, bool enabled) {
  MenuEntry* entry = impl_->entry(id);
  if (!entry || entry->separator) return;
  entry->text = text;
  entry->enabled = enabled;
  ModifyMenuW(impl_->menu, static_cast<UINT>(id), MF_BYCOMMAND | menu_flags(*entry),
              static_cast<UINT_PTR>(id), menu_text(text).c_str());
}

void TrayIcon::pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (!impl_->shown && std::chrono::steady_clock::now() - impl_->last_add >= ADD_RETRY)
    impl_->add();
}

TrayPresence TrayIcon::presence() const {
  // Until the notification area takes the icon (it is tried again every second) nothing shows it.
  return impl_->shown ? TrayPresence::shown : TrayPresence::no_tray;
}

std::vector<int> TrayIcon::take_clicks() {
  return std::exchange(impl_->clicks, {});
}

}  // namespace vellora
