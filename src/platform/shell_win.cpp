#include <windows.h>
// shellapi.h and objbase.h need the types of windows.h.
#include <objbase.h>
#include <shellapi.h>

#include <thread>

#include "platform/shell.h"
#include "platform/wide_text.h"

namespace vellora::platform {

void open_with_default_handler(const std::string& url,
                               const std::vector<std::pair<std::string, std::string>>&) {
  std::thread([wide = widen(url)] {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
  }).detach();
}

}  // namespace vellora::platform
