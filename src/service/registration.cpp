#include "service/registration.h"

#include "platform/program.h"

namespace vellora {

std::expected<void, std::string> start_background(const std::filesystem::path& executable) {
  const auto started = platform::start_in_background(executable, {"background"});
  if (!started) return std::unexpected("could not start the agent: " + started.error());
  return {};
}

}  // namespace vellora
