#include "agent/routes.h"

#include "compile/compile.h"
#include "compile/running_endpoints.h"
#include "compile/synctex_endpoint.h"
#include "http/body.h"
#include "http/endpoints.h"
#include "http/gate.h"
#include "http/json_reply.h"
#include "pairing/pairing.h"
#include "project/blob_store.h"
#include "project/blob_upload.h"

namespace vellora {

Reply route_request(ServerContext& context, const Request& request, BodySource& body) {
  auto admitted = admit(context, request);
  if (!admitted) return std::move(admitted.error());
  const AllowedOrigin& origin = admitted->origin;
  const std::string_view path = admitted->path;

  if (request.method == "GET") {
    if (path == "/v1/status") return status_endpoint(request.headers, origin);
    if (path != "/v1/progress") return not_found(origin);
    if (auto paired = require_token(request, origin); !paired) return std::move(paired.error());
    return progress_endpoint(admitted->query, origin);
  }
  if (request.method != "POST") return not_found(origin);

  // Pairing needs a page of an allowed origin; its one body is small.
  if (path == "/v1/pair/request" || path == "/v1/pair/confirm") {
    if (!origin) return not_found(origin);
    if (path == "/v1/pair/request") return pair_request(origin);
    auto parsed = read_json_body(body, MAX_UNAUTHENTICATED_BODY_BYTES);
    if (!parsed) return error_reply(400, origin, parsed.error());
    return pair_confirm(*parsed, *origin, origin);
  }
  if (path == "/v1/unpair") return unpair_endpoint(request.headers, origin);

  const bool protected_route = path == "/v1/prepare" || path == "/v1/blobs" ||
                               path == "/v1/compile" || path == "/v1/synctex" ||
                               path == "/v1/cancel";
  if (!protected_route) return not_found(origin);
  if (auto paired = require_token(request, origin); !paired) return std::move(paired.error());
  // Uploads are handled while they arrive; the other bodies become a value tree within their
  // route's limit.
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
