#pragma once

#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// Admits, routes and answers one request. Checks run in this order: Host, Origin, preflight,
// route, token, body; so a foreign page gets 403 even for a preflight, and an unpaired caller
// never has its body read.
Reply handle_request(ServerContext& context, const Request& request, BodySource& body);

}  // namespace vellora
