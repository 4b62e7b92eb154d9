#include "http/endpoints.h"

#include "auth/registry.h"
#include "dirs/dirs.h"
#include "dirs/settings.h"
#include "http/json_reply.h"
#include "service/update_state.h"
#include "toolchain/engines.h"
#include "version.h"

namespace vellora {

Reply status_endpoint(const Headers& headers, const AllowedOrigin& origin) {
  const bool paired = authenticate(config_dir(), headers).has_value();
  json::array engines;
  for (const auto& engine : recent_engines()) engines.push_back(engine_json(engine));
  json::value update = nullptr;
  if (const auto available = update_state().available_version())
    update = json::object{{"available", *available}};
  json::object body;
  body["agent"] = "vellora-agent";
  body["version"] = VERSION;
  body["paired"] = paired;
  body["engines"] = std::move(engines);
  body["update"] = std::move(update);
  body["autoUpdate"] = policy_text(load_policy(config_dir()));
  return json_reply(200, origin, std::move(body));
}

Reply unpair_endpoint(const Headers& headers, const AllowedOrigin& origin) {
  const auto device = authenticate(config_dir(), headers);
  if (!device) return error_reply(401, origin, "not paired");
  if (auto revoked = revoke(config_dir(), *device); !revoked)
    return error_reply(500, origin, revoked.error());
  return json_reply(200, origin, json::object{{"ok", true}});
}

}  // namespace vellora
