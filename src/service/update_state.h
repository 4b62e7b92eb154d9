#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vellora {

// What the update machinery knows, shared by the update checker, the tray and /v1/status.
class UpdateState {
 public:
  // Set once at start: (site origin, current version). Later calls keep the first value.
  void set_context(std::string site, std::string version);
  std::optional<std::pair<std::string, std::string>> context() const;

  std::optional<std::string> available_version() const;
  void set_available_version(std::optional<std::string> version);

  std::string status_message() const;
  void set_status_message(std::string message);

  std::atomic<bool> checking{false};
  std::atomic<bool> updating{false};

 private:
  mutable std::mutex mutex_;
  std::optional<std::pair<std::string, std::string>> context_;
  std::optional<std::string> available_;
  std::string status_;
};

UpdateState& update_state();

}  // namespace vellora
