#pragma once

#include "common/json.h"
#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// POST /v1/compile: validates the request, materializes the project and runs its engine.
Reply compile_endpoint(ServerContext& context, const json::value& body,
                       const AllowedOrigin& origin);

}  // namespace vellora
