#pragma once

#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// The agent's table of routes: admits a request through the HTTP gate (Host, Origin, preflight),
// then checks the route, the token and only then reads the body, so an unpaired caller never has
// its body read, and answers through the route's handler.
Reply route_request(ServerContext& context, const Request& request, BodySource& body);

}  // namespace vellora
