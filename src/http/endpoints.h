#pragma once

#include "http/message.h"

namespace vellora {

// GET /v1/status: version, pairing state, engines and update state. No token needed.
Reply status_endpoint(const Headers& headers, const AllowedOrigin& origin);

// POST /v1/unpair: the calling browser revokes its own token.
Reply unpair_endpoint(const Headers& headers, const AllowedOrigin& origin);

}  // namespace vellora
