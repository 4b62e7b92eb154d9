#include "platform/long_path.h"

namespace vellora::platform {

std::filesystem::path long_path(const std::filesystem::path& path) {
  return path;
}

}  // namespace vellora::platform
