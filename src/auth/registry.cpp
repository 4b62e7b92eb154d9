#include "auth/registry.h"

#include "auth/tokens.h"
#include "common/file.h"
#include "common/json.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/crypto.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view DEVICES_FILE = "devices.json";
constexpr std::string_view PAIRING_FILE = "pairing.json";
constexpr std::string_view LEGACY_FILE = "config.json";

// A record is an object with the named fields (others ignored) or an array of the values in
// field order; every field is required.
std::optional<std::vector<const json::value*>> record_fields(
    const json::value& value, std::initializer_list<const char*> names) {
  std::vector<const json::value*> fields;
  if (const auto* object = value.if_object()) {
    for (const char* name : names) {
      const auto* field = object->if_contains(name);
      if (field == nullptr) return std::nullopt;
      fields.push_back(field);
    }
    return fields;
  }
  if (const auto* array = value.if_array()) {
    if (array->size() != names.size()) return std::nullopt;
    for (const auto& field : *array) fields.push_back(&field);
    return fields;
  }
  return std::nullopt;
}

std::optional<Device> decode_device(const json::value& value) {
  const auto f = record_fields(value, {"id", "hash", "label", "created", "last_used"});
  if (!f) return std::nullopt;
  const auto& v = *f;
  if (!v[0]->is_string() || !v[1]->is_string() || !v[2]->is_string()) return std::nullopt;
  const auto created = as_u64(*v[3]);
  const auto last_used = as_u64(*v[4]);
  if (!created || !last_used) return std::nullopt;
  return Device{std::string(v[0]->get_string()), std::string(v[1]->get_string()),
                std::string(v[2]->get_string()), *created, *last_used};
}

std::optional<json::value> read_json_file(const fs::path& path) {
  const auto text = read_file(path);
  if (!text) return std::nullopt;
  auto parsed = parse_json(*text);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

std::uint64_t idle_time(const Device& device, std::uint64_t now) {
  return now > device.last_used ? now - device.last_used : 0;
}

}  // namespace

std::mutex& auth_lock() {
  static std::mutex lock;
  return lock;
}

std::vector<Device> load_devices(const fs::path& config_dir) {
  const auto root = read_json_file(config_dir / DEVICES_FILE);
  if (!root) return {};
  const auto fields = record_fields(*root, {"devices"});
  if (!fields || !(*fields)[0]->is_array()) return {};
  std::vector<Device> devices;
  for (const auto& element : (*fields)[0]->get_array()) {
    auto device = decode_device(element);
    if (!device) return {};
    devices.push_back(std::move(*device));
  }
  return devices;
}

void save_devices(const fs::path& config_dir, const std::vector<Device>& devices) {
  json::array list;
  for (const Device& d : devices) {
    json::object o;
    o["id"] = d.id;
    o["hash"] = d.hash;
    o["label"] = d.label;
    o["created"] = d.created;
    o["last_used"] = d.last_used;
    list.push_back(std::move(o));
  }
  json::object root;
  root["devices"] = std::move(list);
  write_atomic(config_dir / DEVICES_FILE, to_pretty_json(root));
}

std::optional<std::string> load_legacy_token(const fs::path& config_dir) {
  const auto root = read_json_file(config_dir / LEGACY_FILE);
  if (!root) return std::nullopt;
  const auto fields = record_fields(*root, {"token"});
  if (!fields || !(*fields)[0]->is_string() || (*fields)[0]->get_string().empty())
    return std::nullopt;
  return std::string((*fields)[0]->get_string());
}

std::optional<Pending> load_pending(const fs::path& config_dir) {
  const auto root = read_json_file(config_dir / PAIRING_FILE);
  if (!root) return std::nullopt;
  const auto f = record_fields(*root, {"code", "expires", "attempts"});
  if (!f) return std::nullopt;
  const auto& v = *f;
  const auto expires = as_u64(*v[1]);
  const auto attempts = as_u64(*v[2]);
  if (!v[0]->is_string() || !expires || !attempts || *attempts > UINT32_MAX) return std::nullopt;
  return Pending{std::string(v[0]->get_string()), *expires, static_cast<std::uint32_t>(*attempts)};
}

void save_pending(const fs::path& config_dir, const Pending& pending) {
  json::object o;
  o["code"] = pending.code;
  o["expires"] = pending.expires;
  o["attempts"] = pending.attempts;
  write_atomic(config_dir / PAIRING_FILE, json::serialize(o));
}

void remove_pending(const fs::path& config_dir) {
  remove_quietly(config_dir / PAIRING_FILE);
}

void prune_idle(std::vector<Device>& devices, std::uint64_t now) {
  std::erase_if(devices, [&](const Device& d) { return idle_time(d, now) >= DEVICE_IDLE_LIMIT; });
}

std::optional<std::string> authenticate(const fs::path& config_dir, const Headers& headers) {
  std::string_view candidate;
  if (const auto value = header_value(headers, "Authorization");
      value && value->size() > 6 && value->starts_with("Bearer ")) {
    candidate = value->substr(7);
  }
  candidate = trim(candidate);

  std::lock_guard lock(auth_lock());
  if (candidate.size() > 3 && candidate.starts_with("vat_")) {
    const std::string hash = token_hash(candidate);
    auto devices = load_devices(config_dir);
    const std::uint64_t now = now_secs();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
      if (!constant_time_equal(it->hash, hash)) continue;
      if (idle_time(*it, now) >= DEVICE_IDLE_LIMIT) {
        devices.erase(it);
        save_devices(config_dir, devices);
        return std::nullopt;
      }
      std::string id = it->id;
      if (idle_time(*it, now) > 59) {
        it->last_used = now;
        save_devices(config_dir, devices);
      }
      return id;
    }
    return std::nullopt;
  }
  const auto legacy = load_legacy_token(config_dir);
  if (!legacy || candidate.empty()) return std::nullopt;
  // A legacy token of punctuation only would otherwise match any punctuation-only bearer value.
  const std::string expected = normalize_code(*legacy);
  if (expected.empty()) return std::nullopt;
  if (constant_time_equal(normalize_code(candidate), expected)) return std::string("legacy");
  return std::nullopt;
}

std::pair<std::string, Device> issue_device(std::string_view label_source, std::uint64_t now) {
  unsigned char bytes[32];
  platform::random_bytes(bytes, sizeof bytes);
  std::string token = "vat_" + hex_lower(bytes, sizeof bytes);
  std::string hash = token_hash(token);
  Device device{hash.substr(0, 8), hash, first_chars(label_source, 60), now, now};
  return {std::move(token), std::move(device)};
}

std::size_t revoke(const fs::path& config_dir, const std::string& id) {
  std::lock_guard lock(auth_lock());
  if (id == "legacy") {
    std::error_code ec;
    return fs::remove(config_dir / LEGACY_FILE, ec) && !ec ? 1 : 0;
  }
  auto devices = load_devices(config_dir);
  const std::size_t removed = std::erase_if(devices, [&](const Device& d) { return d.id == id; });
  save_devices(config_dir, devices);
  return removed;
}

std::size_t revoke_all(const fs::path& config_dir) {
  std::lock_guard lock(auth_lock());
  const std::size_t count =
      load_devices(config_dir).size() + (load_legacy_token(config_dir) ? 1 : 0);
  save_devices(config_dir, {});
  remove_quietly(config_dir / LEGACY_FILE);
  remove_quietly(config_dir / PAIRING_FILE);
  return count;
}

}  // namespace vellora
