#pragma once

#include "http/server_context.h"

namespace vellora {

// Everything that runs beside the request loop: the tray icon (unless switched off) and the
// update checker. This is the one place where they start.
void start_companions(ServerContext& context, unsigned port, bool with_tray);

}  // namespace vellora
