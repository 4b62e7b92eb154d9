#include "compile/compile.h"

#include "http/json_reply.h"

namespace vellora {

std::atomic<std::uint64_t>& active_compiles() {
  static std::atomic<std::uint64_t> count{0};
  return count;
}

Reply compile_endpoint(ServerContext&, const json::value&, const AllowedOrigin& origin) {
  return error_reply(404, origin, "not found");
}

}  // namespace vellora
