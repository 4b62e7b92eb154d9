#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/headers.h"
#include "platform/files.h"

namespace vellora {

// One paired browser. Only the hash of its token is kept.
struct Device {
  std::string id;  // first 8 characters of `hash`
  std::string hash;
  std::string label;  // the first 60 characters of the pairing page's Origin
  std::uint64_t created = 0;
  std::uint64_t last_used = 0;
  bool operator==(const Device&) const = default;
};

// The one pending pairing code ("pairing.json").
struct Pending {
  std::string code;  // "XXXX-XXXX-XXXX"
  std::uint64_t expires = 0;
  std::uint32_t attempts = 0;
};

inline constexpr std::size_t MAX_DEVICES = 20;
inline constexpr std::uint64_t DEVICE_IDLE_LIMIT = 7'776'000;  // 90 days

// Serialises every read-modify-write of "devices.json", "pairing.json" and "config.json": a
// process-wide mutex, then the lock file "state.lock" in the config directory, which the running
// agent and every command take, so that neither undoes the other's change. Never held together
// with another lock.
class StateLock {
 public:
  static std::expected<StateLock, std::string> acquire(const std::filesystem::path& config_dir);

 private:
  StateLock(std::unique_lock<std::mutex> thread_lock, platform::FileLock file_lock)
      : thread_lock_(std::move(thread_lock)), file_lock_(std::move(file_lock)) {}
  std::unique_lock<std::mutex> thread_lock_;
  platform::FileLock file_lock_;
};

// File-level operations; the caller holds a StateLock. Unreadable or malformed files read as
// empty. Before a save replaces a malformed "devices.json" or "pairing.json", the file is moved
// aside to "<name>.bad" (replacing an older one) and standard error says so.
std::vector<Device> load_devices(const std::filesystem::path& config_dir);
std::expected<void, std::string> save_devices(const std::filesystem::path& config_dir,
                                              const std::vector<Device>& devices);
std::optional<std::string> load_legacy_token(const std::filesystem::path& config_dir);
std::optional<Pending> load_pending(const std::filesystem::path& config_dir);
std::expected<void, std::string> save_pending(const std::filesystem::path& config_dir,
                                              const Pending& pending);
// A missing file is no error.
std::expected<void, std::string> remove_pending(const std::filesystem::path& config_dir);

// Removes the devices unused for DEVICE_IDLE_LIMIT or longer, keeping the order of the others.
void prune_idle(std::vector<Device>& devices, std::uint64_t now);

// The id of the device whose token the request carries ("legacy" for the old permanent token).
// A last use that cannot be recorded does not refuse the token; standard error tells why.
std::optional<std::string> authenticate(const std::filesystem::path& config_dir,
                                        const Headers& headers);

// A new token and its device record; the caller appends and saves it.
std::pair<std::string, Device> issue_device(std::string_view label_source, std::uint64_t now);

// The number of accesses removed; an error when the change could not be stored.
std::expected<std::size_t, std::string> revoke(const std::filesystem::path& config_dir,
                                               const std::string& id);
std::expected<std::size_t, std::string> revoke_all(const std::filesystem::path& config_dir);

}  // namespace vellora
