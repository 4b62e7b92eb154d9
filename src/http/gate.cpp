#include "http/gate.h"

#include <algorithm>

#include "auth/registry.h"
#include "common/text.h"
#include "compile/compile.h"
#include "compile/running_endpoints.h"
#include "compile/synctex_endpoint.h"
#include "dirs/dirs.h"
#include "http/body.h"
#include "http/endpoints.h"
#include "http/json_reply.h"
#include "pairing/pairing.h"
#include "project/blob_store.h"
#include "project/blob_upload.h"

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

Reply not_found(const AllowedOrigin& origin) {
  return error_reply(404, origin, "not found");
}

}  // namespace

Reply handle_request(ServerContext& context, const Request& request, BodySource& body) {
  if (const auto repeated = repeated_header(request.headers))
    return error_reply(400, std::nullopt, *repeated);
  if (!host_allowed(request.headers, context.port))
    return error_reply(403, std::nullopt, "host not allowed");

  const auto origin_header = header_value(request.headers, "Origin");
  AllowedOrigin origin;
  if (origin_header) {
    const auto& allowed = context.allowed_origins;
    if (std::find(allowed.begin(), allowed.end(), *origin_header) == allowed.end())
      return error_reply(403, std::nullopt, "origin not allowed");
    origin = std::string(*origin_header);
  }

  if (request.method == "OPTIONS") return preflight(origin);

  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));

  if (request.method == "GET") {
    if (path == "/v1/status") return status_endpoint(request.headers, origin);
    if (path != "/v1/progress") return not_found(origin);
    if (!authenticate(config_dir(), request.headers))
      return error_reply(401, origin, "not paired: invalid code or token");
    const std::size_t question = target.find('?');
    return progress_endpoint(
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1),
        origin);
  }
  if (request.method != "POST") return not_found(origin);

  const auto read_body = [&](std::size_t limit) { return read_json_body(body, limit); };
  if (path == "/v1/pair/request") {
    if (!origin_header) return not_found(origin);
    return pair_request(origin);
  }
  if (path == "/v1/pair/confirm") {
    if (!origin_header) return not_found(origin);
    auto parsed = read_body(MAX_UNAUTHENTICATED_BODY_BYTES);
    if (!parsed) return error_reply(400, origin, parsed.error());
    return pair_confirm(*parsed, std::string(*origin_header), origin);
  }
  if (path == "/v1/unpair") return unpair_endpoint(request.headers, origin);

  const bool protected_route = path == "/v1/prepare" || path == "/v1/blobs" ||
                               path == "/v1/compile" || path == "/v1/synctex" ||
                               path == "/v1/cancel";
  if (!protected_route) return not_found(origin);
  if (!authenticate(config_dir(), request.headers))
    return error_reply(401, origin, "not paired: invalid code or token");
  // Uploads are handled while they arrive; the other bodies are small enough for a value tree.
  if (path == "/v1/blobs") return blobs_endpoint(body, origin);
  const bool file_list = path == "/v1/prepare" || path == "/v1/compile";
  std::vector<std::string> repeated_keys;
  auto parsed = read_json_body(body, file_list ? MAX_FILE_LIST_BODY_BYTES : MAX_SMALL_BODY_BYTES,
                               &repeated_keys);
  if (!parsed) return error_reply(400, origin, parsed.error());
  if (path == "/v1/prepare") return prepare_endpoint(std::move(*parsed), origin, repeated_keys);
  if (path == "/v1/synctex") return synctex_endpoint(*parsed, origin);
  if (path == "/v1/cancel") return cancel_endpoint(*parsed, origin);
  return compile_endpoint(context, *parsed, origin, repeated_keys, request.client_gone);
}

}  // namespace vellora
