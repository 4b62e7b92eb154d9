#include "desktop/clipboard_wait.h"
#include "desktop/desktop.h"
#include "desktop/toast_script.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "toolchain/search.h"

namespace vellora {

bool show_notification(const std::string& title, const std::string& body) {
  platform::Command command;
  command.program = "powershell";
  command.args = {"-NoProfile", "-NonInteractive", "-WindowStyle",
                  "Hidden",     "-Command",        std::string(TOAST_SCRIPT)};
  command.env = {{"VL_TITLE", title}, {"VL_BODY", body}};
  const auto result = platform::run(command);
  return result && result->success();
}

bool copy_to_clipboard(const std::string& text) {
  const auto clip = find_program("clip");
  if (!clip) return false;
  platform::Command command;
  command.program = *clip;
  return run_clipboard_program(std::move(command), text);
}

void open_in_browser(const std::string& url) {
  platform::open_with_default_handler(url);
}

}  // namespace vellora
