#include "platform/process.h"
#include "platform/shell.h"

namespace vellora::platform {

void open_with_default_handler(const std::string& url,
                               const std::vector<std::pair<std::string, std::string>>& env) {
  Command command;
  command.program = "xdg-open";
  command.args = {url};
  command.env = env;
  (void)spawn_detached(command);
}

}  // namespace vellora::platform
