#include "agent/companions.h"

#include "agent/port.h"
#include "service/update_state.h"
#include "version.h"

namespace vellora {

void start_companions(ServerContext& context, unsigned port, bool with_tray) {
  // The tray thread joins here when the tray exists; it needs the site origin, the port and the
  // version, and reads the update state and the number of running compiles.
  (void)with_tray;
  (void)port;
  (void)context;

  // The update checker starts right after the context is set: it reads the policy from
  // settings.json and asks `context.idle()` before installing anything.
  update_state().set_context(site_origin(), std::string(VERSION));
}

}  // namespace vellora
