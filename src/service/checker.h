#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vellora {

struct CheckerConfig {
  std::filesystem::path home;
  std::filesystem::path config_dir;
  std::string origin;
  std::string current_version;
  std::uint16_t port = 0;
  // True when no compile runs (false when that cannot be told).
  std::function<bool()> idle;
  // Shows a desktop notification (title, body).
  std::function<void(const std::string&, const std::string&)> notify;
};

// One checker's memory between cycles.
class UpdateChecker {
 public:
  explicit UpdateChecker(CheckerConfig config) : config_(std::move(config)) {}
  // Reads the policy, asks the site, notifies once per new version or installs it when allowed.
  void run_cycle();

 private:
  CheckerConfig config_;
  std::optional<std::string> last_notified_;
};

// Starts the checker thread: VELLORA_UPDATE_FIRST_SECS (30) after start, then every
// VELLORA_UPDATE_INTERVAL_SECS (21600). It lives as long as the process.
void start_update_checker(CheckerConfig config);

}  // namespace vellora
