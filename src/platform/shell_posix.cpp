#include "platform/process.h"
#include "platform/shell.h"

namespace vellora::platform {

void open_with_default_handler(const std::string& url) {
  Command command;
  command.program = "xdg-open";
  command.args = {url};
  (void)spawn_detached(command);
}

}  // namespace vellora::platform
