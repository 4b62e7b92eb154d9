#include "desktop/clipboard_wait.h"
#include "desktop/desktop.h"
#include "desktop/toast_script.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "platform/shell.h"

namespace vellora {

bool show_notification(const std::string& title, const std::string& body,
                       std::chrono::seconds lifetime) {
  platform::Command command;
  command.program = platform::system_program("WindowsPowerShell/v1.0/powershell");
  command.args = {"-NoProfile", "-NonInteractive", "-WindowStyle",
                  "Hidden",     "-Command",        toast_script(lifetime)};
  command.env = {{"VL_TITLE", title}, {"VL_BODY", body}};
  const auto result = platform::run(command);
  return result && result->success();
}

bool copy_to_clipboard(const std::string& text) {
  platform::Command command;
  command.program = platform::system_program("clip");
  if (!platform::is_runnable_file(command.program)) return false;
  return run_clipboard_program(std::move(command), text);
}

void open_in_browser(const std::string& url) {
  platform::open_with_default_handler(url);
}

// Every Windows session has its desktop.
std::optional<std::string> desktop_unreachable() {
  return std::nullopt;
}

}  // namespace vellora
