#include "platform/sandbox.h"

namespace vellora::platform {

// Windows has no unprivileged per-process file-system confinement that a console program can
// switch on for its children the way Landlock does; engines run with TeX's own restrictions.

std::optional<std::string> confinement_unavailable() {
  return "Windows offers no file-system confinement the agent can apply; TeX's own restrictions "
         "(no shell escape, no reading or writing outside the project) still hold";
}

PreparedConfinement::PreparedConfinement(PreparedConfinement&& other) noexcept
    : extra(std::move(other.extra)), handle_(other.handle_) {
  other.handle_ = -1;
}
PreparedConfinement& PreparedConfinement::operator=(PreparedConfinement&& other) noexcept {
  handle_ = other.handle_;
  other.handle_ = -1;
  extra = std::move(other.extra);
  return *this;
}
PreparedConfinement::~PreparedConfinement() = default;

int PreparedConfinement::apply() const noexcept {
  return 0;
}

std::expected<PreparedConfinement, std::string> prepare_confinement(const Confinement&) {
  return PreparedConfinement();
}

}  // namespace vellora::platform
