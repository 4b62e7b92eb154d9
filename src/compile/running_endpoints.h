#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// GET /v1/progress?project=<id>: what the project's compile is doing, from memory only, so that a
// page may ask several times a second.
Reply progress_endpoint(std::string_view query, const AllowedOrigin& origin);

// POST /v1/cancel {"project"}: kills the project's running compile; answers once the project is
// free.
Reply cancel_endpoint(const json::value& body, const AllowedOrigin& origin);

// The value of `name` in a URL query ("a=1&b=2"), percent-decoded; none when it is missing or
// badly encoded.
std::optional<std::string> query_parameter(std::string_view query, std::string_view name);

}  // namespace vellora
