#include "http/json_reply.h"

namespace vellora {

Reply json_reply(unsigned status, const AllowedOrigin& origin, json::value body) {
  Reply reply;
  reply.status = status;
  reply.headers = {{"Content-Type", "application/json; charset=utf-8"},
                   {"Cache-Control", "no-store"}};
  if (origin) {
    reply.headers.emplace_back("Access-Control-Allow-Origin", *origin);
    reply.headers.emplace_back("Vary", "Origin");
  }
  reply.body = to_sorted_json(std::move(body));
  return reply;
}

Reply error_reply(unsigned status, const AllowedOrigin& origin, const std::string& message) {
  return json_reply(status, origin, json::object{{"error", message}});
}

}  // namespace vellora
