#include "agent/companions.h"

#include <thread>

#include "agent/port.h"
#include "desktop/desktop.h"
#include "dirs/dirs.h"
#include "service/checker.h"
#include "service/package_manager.h"
#include "service/update_actions.h"
#include "service/update_state.h"
#include "tray/run_tray.h"
#include "version.h"

namespace vellora {
namespace {

void start_tray(unsigned port) {
  TrayContext tray;
  tray.site_origin = site_origin();
  tray.port = static_cast<std::uint16_t>(port);
  tray.version = std::string(VERSION);
  tray.check_now = check_now;
  tray.update_now = update_now;
  tray.is_compiling = [] { return active_compiles().load() != 0; };
  tray.available_version = [] { return update_state().available_version(); };
  tray.status_message = [] { return update_state().status_message(); };
  tray.checking = [] { return update_state().checking.load(); };
  tray.updating = [] { return update_state().updating.load(); };
  tray.updated_to = [] { return update_state().updated_to(); };
  tray.package_updater = package_updater_of_this_program();
  std::thread(run_tray, std::move(tray)).detach();
}

}  // namespace

void start_companions(ServerContext& context, unsigned port, bool with_tray) {
  // The tray's update actions read the context: it is set before the tray starts.
  update_state().set_context(site_origin(), std::string(VERSION));
  if (with_tray) start_tray(port);
  // The context lives as long as the process.
  ServerContext* server = &context;
  start_update_checker(CheckerConfig{
      .home = home_dir(),
      .config_dir = config_dir(),
      .origin = site_origin(),
      .current_version = std::string(VERSION),
      .port = static_cast<std::uint16_t>(port),
      .idle = [server] { return server->idle(); },
      .notify = [](const std::string& title,
                   const std::string& body) { (void)show_notification(title, body); },
  });
}

}  // namespace vellora
