#include "auth/registry.h"

#include <cstdio>

#include "auth/tokens.h"
#include "common/file.h"
#include "common/json.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/crypto.h"
#include "platform/env.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view DEVICES_FILE = "devices.json";
constexpr std::string_view PAIRING_FILE = "pairing.json";
constexpr std::string_view LEGACY_FILE = "config.json";
constexpr std::string_view LOCK_FILE = "state.lock";

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

// A state file's content: none when it does not exist, an error when it exists but cannot be
// read or is not JSON.
std::expected<std::optional<json::value>, std::string> read_json_file(const fs::path& path) {
  std::error_code ec;
  const auto status = fs::symlink_status(path, ec);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  const auto text = read_file(path);
  if (!text) return std::unexpected(std::string("it cannot be read"));
  auto parsed = parse_json(*text);
  if (!parsed) return std::unexpected(parsed.error());
  return std::optional<json::value>(std::move(*parsed));
}

std::optional<json::value> json_file_or_none(const fs::path& path) {
  auto read = read_json_file(path);
  if (!read) return std::nullopt;
  return std::move(*read);
}

// The devices of the file; an empty list when it does not exist; an error when it is malformed.
std::expected<std::vector<Device>, std::string> read_devices(const fs::path& config_dir) {
  const auto root = read_json_file(config_dir / DEVICES_FILE);
  if (!root) return std::unexpected(root.error());
  if (!*root) return std::vector<Device>{};
  const auto fields = record_fields(**root, {"devices"});
  if (!fields || !(*fields)[0]->is_array())
    return std::unexpected(std::string("it holds no list of devices"));
  std::vector<Device> devices;
  for (const auto& element : (*fields)[0]->get_array()) {
    auto device = decode_device(element);
    if (!device)
      return std::unexpected("device " + std::to_string(devices.size() + 1) + " is malformed");
    devices.push_back(std::move(*device));
  }
  return devices;
}

std::expected<std::optional<Pending>, std::string> read_pending(const fs::path& config_dir) {
  const auto root = read_json_file(config_dir / PAIRING_FILE);
  if (!root) return std::unexpected(root.error());
  if (!*root) return std::nullopt;
  const auto f = record_fields(**root, {"code", "expires", "attempts"});
  if (!f) return std::unexpected(std::string("it holds no pairing code"));
  const auto& v = *f;
  const auto expires = as_u64(*v[1]);
  const auto attempts = as_u64(*v[2]);
  if (!v[0]->is_string() || !expires || !attempts || *attempts > UINT32_MAX)
    return std::unexpected(std::string("its pairing code is malformed"));
  return Pending{std::string(v[0]->get_string()), *expires, static_cast<std::uint32_t>(*attempts)};
}

// A malformed file authenticates nobody, but what it held may still be worth something to its
// owner: keep it beside the new file instead of overwriting it.
template <typename Read>
std::expected<void, std::string> set_aside_if_malformed(const fs::path& config_dir,
                                                        std::string_view name, Read read) {
  const auto current = read(config_dir);
  if (current) return {};
  const fs::path file = config_dir / name;
  fs::path aside = file;
  aside += ".bad";
  if (auto moved = platform::replace_file(file, aside); !moved)
    return std::unexpected(
        platform::path_text(file) + " is malformed (" + current.error() +
        ") and could not be moved aside, so it was left unchanged: " + moved.error());
  std::fprintf(stderr, "%s was malformed (%s): moved aside to %s\n",
               platform::path_text(file).c_str(), current.error().c_str(),
               platform::path_text(aside).c_str());
  std::fflush(stderr);
  return {};
}

std::uint64_t idle_time(const Device& device, std::uint64_t now) {
  return now > device.last_used ? now - device.last_used : 0;
}

std::expected<void, std::string> remove_file(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory)
    return std::unexpected("could not delete " + platform::path_text(path) + ": " + ec.message());
  return {};
}

}  // namespace

std::expected<StateLock, std::string> StateLock::acquire(const fs::path& config_dir) {
  static std::mutex thread_lock;
  std::unique_lock lock(thread_lock);
  create_private_dirs(config_dir);
  auto file_lock = platform::FileLock::acquire(config_dir / LOCK_FILE);
  if (!file_lock) return std::unexpected(file_lock.error());
  return StateLock(std::move(lock), std::move(*file_lock));
}

std::vector<Device> load_devices(const fs::path& config_dir) {
  return read_devices(config_dir).value_or(std::vector<Device>{});
}

std::expected<void, std::string> save_devices(const fs::path& config_dir,
                                              const std::vector<Device>& devices) {
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
  if (auto kept = set_aside_if_malformed(config_dir, DEVICES_FILE, read_devices); !kept)
    return kept;
  return write_atomic(config_dir / DEVICES_FILE, to_pretty_json(root));
}

std::optional<std::string> load_legacy_token(const fs::path& config_dir) {
  const auto root = json_file_or_none(config_dir / LEGACY_FILE);
  if (!root) return std::nullopt;
  const auto fields = record_fields(*root, {"token"});
  if (!fields || !(*fields)[0]->is_string() || (*fields)[0]->get_string().empty())
    return std::nullopt;
  return std::string((*fields)[0]->get_string());
}

std::optional<Pending> load_pending(const fs::path& config_dir) {
  return read_pending(config_dir).value_or(std::nullopt);
}

std::expected<void, std::string> save_pending(const fs::path& config_dir, const Pending& pending) {
  json::object o;
  o["code"] = pending.code;
  o["expires"] = pending.expires;
  o["attempts"] = pending.attempts;
  if (auto kept = set_aside_if_malformed(config_dir, PAIRING_FILE, read_pending); !kept)
    return kept;
  return write_atomic(config_dir / PAIRING_FILE, json::serialize(o));
}

std::expected<void, std::string> remove_pending(const fs::path& config_dir) {
  return remove_file(config_dir / PAIRING_FILE);
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

  // Without the lock the token can still be checked; only nothing may be written.
  const auto lock = StateLock::acquire(config_dir);
  const auto save = [&](const std::vector<Device>& devices) {
    std::expected<void, std::string> saved = std::unexpected(lock ? std::string() : lock.error());
    if (lock) saved = save_devices(config_dir, devices);
    if (!saved) {
      std::fprintf(stderr, "Could not record the use of a paired browser: %s\n",
                   saved.error().c_str());
      std::fflush(stderr);
    }
  };
  if (candidate.size() > 3 && candidate.starts_with("vat_")) {
    const std::string hash = token_hash(candidate);
    auto devices = load_devices(config_dir);
    const std::uint64_t now = now_secs();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
      if (!constant_time_equal(it->hash, hash)) continue;
      if (idle_time(*it, now) >= DEVICE_IDLE_LIMIT) {
        devices.erase(it);
        save(devices);
        return std::nullopt;
      }
      std::string id = it->id;
      if (idle_time(*it, now) > 59) {
        it->last_used = now;
        save(devices);
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

std::expected<std::size_t, std::string> revoke(const fs::path& config_dir, const std::string& id) {
  const auto lock = StateLock::acquire(config_dir);
  if (!lock) return std::unexpected(lock.error());
  if (id == "legacy") {
    const fs::path legacy = config_dir / LEGACY_FILE;
    std::error_code ec;
    if (fs::symlink_status(legacy, ec).type() == fs::file_type::not_found) return 0;
    if (auto removed = remove_file(legacy); !removed) return std::unexpected(removed.error());
    return 1;
  }
  auto devices = load_devices(config_dir);
  const std::size_t removed = std::erase_if(devices, [&](const Device& d) { return d.id == id; });
  if (auto saved = save_devices(config_dir, devices); !saved) return std::unexpected(saved.error());
  return removed;
}

std::expected<std::size_t, std::string> revoke_all(const fs::path& config_dir) {
  const auto lock = StateLock::acquire(config_dir);
  if (!lock) return std::unexpected(lock.error());
  const std::size_t count =
      load_devices(config_dir).size() + (load_legacy_token(config_dir) ? 1 : 0);
  auto done = save_devices(config_dir, {});
  if (done) done = remove_file(config_dir / LEGACY_FILE);
  if (done) done = remove_file(config_dir / PAIRING_FILE);
  if (!done) return std::unexpected(done.error());
  return count;
}

}  // namespace vellora
