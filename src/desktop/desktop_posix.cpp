#include "desktop/clipboard_wait.h"
#include "desktop/desktop.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/shell.h"

namespace vellora {

bool show_notification(const std::string& title, const std::string& body) {
  platform::Command command;
  command.program = "notify-send";
  command.args = {title, body};
  const auto result = platform::run(command);
  return result && result->success();
}

bool copy_to_clipboard(const std::string& text) {
  platform::Command command;
  if (platform::get_env("WAYLAND_DISPLAY")) {
    command.program = "wl-copy";
  } else {
    command.program = "xclip";
    command.args = {"-selection", "clipboard"};
  }
  return run_clipboard_program(std::move(command), text);
}

void open_in_browser(const std::string& url) {
  platform::open_with_default_handler(url);
}

}  // namespace vellora
