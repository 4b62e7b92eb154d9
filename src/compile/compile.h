#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"
#include "http/message.h"
#include "http/server_context.h"
#include "platform/process.h"

namespace vellora {

// POST /v1/compile: validates the request, materializes the project and runs its engine.
// `repeated_keys`: where the body's text repeated a key (JSON Pointers).
// `cancellation` stops the compile from elsewhere (its client went away); /v1/cancel reaches it
// through the table of running compiles. None: the compile makes its own.
Reply compile_endpoint(ServerContext& context, const json::value& body, const AllowedOrigin& origin,
                       const std::vector<std::string>& repeated_keys = {},
                       std::shared_ptr<platform::Cancellation> cancellation = nullptr);

}  // namespace vellora
