#pragma once

#include <expected>
#include <string_view>

#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// A request the gate let through: where it comes from and what it asks for.
struct Admitted {
  AllowedOrigin origin;    // the allowed Origin, none when the request carried no Origin header
  std::string_view path;   // the target without its query
  std::string_view query;  // after "?", empty when there is none
};

// What every route shares, in this order: repeated Host or Origin headers, Host, Origin, then a
// preflight answered at once; so a foreign page gets 403 even for a preflight. The reply to send
// at once instead of routing, or the admitted request (whose views point into `request`).
std::expected<Admitted, Reply> admit(const ServerContext& context, const Request& request);

// The 404 of a target no route serves.
Reply not_found(const AllowedOrigin& origin);

// Whether the request carries the bearer token of a paired browser; otherwise the 401 to send.
std::expected<void, Reply> require_token(const Request& request, const AllowedOrigin& origin);

}  // namespace vellora
