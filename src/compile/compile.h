#pragma once

#include <string>
#include <vector>

#include "common/json.h"
#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// POST /v1/compile: validates the request, materializes the project and runs its engine.
// `repeated_keys`: where the body's text repeated a key (JSON Pointers).
Reply compile_endpoint(ServerContext& context, const json::value& body, const AllowedOrigin& origin,
                       const std::vector<std::string>& repeated_keys = {});

}  // namespace vellora
