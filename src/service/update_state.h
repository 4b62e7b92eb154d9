#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vellora {

// What the update machinery knows, shared by the update checker, the tray and /v1/status.
class UpdateState {
 public:
  // Set once at start: (site origin, current version). Later calls keep the first value. The
  // path of this executable is taken then too: an update moves the running file aside (".old").
  void set_context(std::string site, std::string version);
  std::optional<std::pair<std::string, std::string>> context() const;
  // This executable as it was named at start; none before set_context or when it is unknown.
  std::optional<std::filesystem::path> program() const;

  // The version this executable's file was updated to while this process kept running the old
  // one: it only needs a restart. None until such an update.
  std::optional<std::string> updated_to() const;
  void set_updated_to(std::string version);
  // The version that counts as installed: the one updated to, else `current`.
  std::string installed_version(const std::string& current) const;

  std::optional<std::string> available_version() const;
  void set_available_version(std::optional<std::string> version);

  std::string status_message() const;
  void set_status_message(std::string message);

  std::atomic<bool> checking{false};
  std::atomic<bool> updating{false};

 private:
  mutable std::mutex mutex_;
  std::optional<std::pair<std::string, std::string>> context_;
  std::optional<std::filesystem::path> program_;
  std::optional<std::string> updated_to_;
  std::optional<std::string> available_;
  std::string status_;
};

UpdateState& update_state();

}  // namespace vellora
