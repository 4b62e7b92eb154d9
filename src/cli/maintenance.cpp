#include "cli/maintenance.h"

#include <cstdlib>
#include <iostream>
#include <optional>

#include "agent/port.h"
#include "cli/dispatch.h"
#include "dirs/dirs.h"
#include "service/finish_update.h"
#include "service/service_commands.h"
#include "service/update.h"
#include "tinytex/tinytex.h"

namespace vellora {
namespace {

void or_exit(const std::expected<void, std::string>& result) {
  if (!result) command_failed(result.error());
}

void auto_update(const std::vector<std::string>& args) {
  const auto arg = args.size() > 2 ? std::optional(args[2]) : std::nullopt;
  const auto result = auto_update_command(config_dir(), arg);
  if (result) return;
  if (!result.error().usage) command_failed(result.error().text);
  std::cout.flush();
  std::cerr << result.error().text << "\n" << std::flush;
  std::exit(1);
}

}  // namespace

void command_failed(const std::string& error) {
  std::cout.flush();
  std::cerr << "Error: " << error << "\n" << std::flush;
  std::exit(1);
}

void add_maintenance_commands(CommandTable& commands, const std::vector<std::string>& args) {
  commands["install"] = [] { or_exit(install_command(home_dir(), agent_port())); };
  commands["uninstall"] = [] { uninstall_command(home_dir()); };
  commands["status"] = [] { std::cout << status_text(home_dir(), agent_port()); };
  commands["launch"] = [] { or_exit(launch_command()); };
  commands["update"] = [&args] {
    or_exit(update_command(home_dir(), site_origin(), assume_yes(args), agent_port()));
  };
  commands["auto-update"] = [&args] { auto_update(args); };
  commands["rollback"] = [] { or_exit(rollback_command(home_dir())); };
  commands["finish-update"] = [&args] {
    or_exit(finish_update_command(home_dir(), agent_port(), args.size() > 2 ? args[2] : ""));
  };
  commands["install-tinytex"] = [&args] { or_exit(install_tinytex(home_dir(), assume_yes(args))); };
  commands["uninstall-tinytex"] = [&args] {
    or_exit(uninstall_tinytex(home_dir(), assume_yes(args)));
  };
}

}  // namespace vellora
