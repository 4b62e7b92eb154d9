#include "http/gate.h"

#include <algorithm>

#include "auth/registry.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"

namespace vellora {
namespace {

// Only loopback names: the Host allow-list keeps DNS-rebinding pages out.
bool host_allowed(const Headers& headers, unsigned bound_port) {
  const auto host = header_value(headers, "Host");
  if (!host) return false;
  const std::string port = std::to_string(bound_port);
  for (const std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (iequals_ascii(*host, name)) return true;
    if (host->size() == name.size() + 1 + port.size() &&
        iequals_ascii(host->substr(0, name.size()), name) && (*host)[name.size()] == ':' &&
        host->substr(name.size() + 1) == port)
      return true;
  }
  return false;
}

// Two Host or Origin headers could be read differently by the gate and by whatever sits in front
// of it; such a request is refused whole.
std::optional<std::string> repeated_header(const Headers& headers) {
  for (const char* name : {"Host", "Origin"}) {
    std::size_t count = 0;
    for (const auto& header : headers)
      if (iequals_ascii(header.first, name)) ++count;
    if (count > 1) return std::string("more than one ") + name + " header";
  }
  return std::nullopt;
}

Reply preflight(const AllowedOrigin& origin) {
  Reply reply;
  reply.status = 204;
  reply.headers = {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                   {"Access-Control-Allow-Headers", "Content-Type, Authorization"},
                   {"Access-Control-Allow-Private-Network", "true"},
                   {"Access-Control-Max-Age", "600"}};
  if (origin) {
    reply.headers.emplace_back("Access-Control-Allow-Origin", *origin);
    reply.headers.emplace_back("Vary", "Origin");
  }
  return reply;
}

}  // namespace

Reply not_found(const AllowedOrigin& origin) {
  return error_reply(404, origin, "not found");
}

std::expected<void, Reply> require_token(const Request& request, const AllowedOrigin& origin) {
  if (authenticate(config_dir(), request.headers)) return {};
  return std::unexpected(error_reply(401, origin, "not paired: invalid code or token"));
}

std::expected<Admitted, Reply> admit(const ServerContext& context, const Request& request) {
  if (const auto repeated = repeated_header(request.headers))
    return std::unexpected(error_reply(400, std::nullopt, *repeated));
  if (!host_allowed(request.headers, context.port))
    return std::unexpected(error_reply(403, std::nullopt, "host not allowed"));

  Admitted admitted;
  if (const auto origin_header = header_value(request.headers, "Origin")) {
    const auto& allowed = context.allowed_origins;
    if (std::find(allowed.begin(), allowed.end(), *origin_header) == allowed.end())
      return std::unexpected(error_reply(403, std::nullopt, "origin not allowed"));
    admitted.origin = std::string(*origin_header);
  }
  if (request.method == "OPTIONS") return std::unexpected(preflight(admitted.origin));

  const std::string_view target = request.target;
  const std::size_t question = target.find('?');
  admitted.path = target.substr(0, question);
  if (question != std::string_view::npos) admitted.query = target.substr(question + 1);
  return admitted;
}

}  // namespace vellora
