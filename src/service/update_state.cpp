#include "service/update_state.h"

#include "platform/program.h"

namespace vellora {

void UpdateState::set_context(std::string site, std::string version) {
  auto exe = platform::current_exe();
  std::lock_guard lock(mutex_);
  if (context_) return;
  context_.emplace(std::move(site), std::move(version));
  if (exe) program_ = std::move(*exe);
}

std::optional<std::filesystem::path> UpdateState::program() const {
  std::lock_guard lock(mutex_);
  return program_;
}

std::optional<std::string> UpdateState::updated_to() const {
  std::lock_guard lock(mutex_);
  return updated_to_;
}

void UpdateState::set_updated_to(std::string version) {
  std::lock_guard lock(mutex_);
  updated_to_ = std::move(version);
}

std::string UpdateState::installed_version(const std::string& current) const {
  std::lock_guard lock(mutex_);
  return updated_to_.value_or(current);
}

std::optional<std::pair<std::string, std::string>> UpdateState::context() const {
  std::lock_guard lock(mutex_);
  return context_;
}

std::optional<std::string> UpdateState::available_version() const {
  std::lock_guard lock(mutex_);
  return available_;
}

void UpdateState::set_available_version(std::optional<std::string> version) {
  std::lock_guard lock(mutex_);
  available_ = std::move(version);
}

std::string UpdateState::status_message() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void UpdateState::set_status_message(std::string message) {
  std::lock_guard lock(mutex_);
  status_ = std::move(message);
}

UpdateState& update_state() {
  static UpdateState state;
  return state;
}

}  // namespace vellora
