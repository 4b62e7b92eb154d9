#pragma once

#include <string>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// The one way every endpoint answers: compact JSON with sorted keys, no caching, and CORS
// headers when the request came from an allowed page.
Reply json_reply(unsigned status, const AllowedOrigin& origin, json::value body);

// {"error": message}
Reply error_reply(unsigned status, const AllowedOrigin& origin, const std::string& message);

}  // namespace vellora
