#include "dirs/settings.h"

#include "common/file.h"
#include "common/json.h"

namespace vellora {

std::string_view policy_text(AutoUpdate policy) {
  switch (policy) {
    case AutoUpdate::Off:
      return "off";
    case AutoUpdate::On:
      return "on";
    case AutoUpdate::Notify:
      break;
  }
  return "notify";
}

AutoUpdate load_policy(const std::filesystem::path& config_dir) {
  const auto text = read_file(config_dir / "settings.json");
  if (!text) return AutoUpdate::Notify;
  const auto parsed = parse_json(*text);
  if (!parsed || !parsed->is_object()) return AutoUpdate::Notify;
  const auto* value = parsed->get_object().if_contains("auto_update");
  if (value == nullptr || !value->is_string()) return AutoUpdate::Notify;
  const std::string_view v = value->get_string();
  if (v == "off") return AutoUpdate::Off;
  if (v == "on") return AutoUpdate::On;
  return AutoUpdate::Notify;
}

std::string settings_text(AutoUpdate policy) {
  return "{\n  \"auto_update\": \"" + std::string(policy_text(policy)) + "\"\n}";
}

}  // namespace vellora
