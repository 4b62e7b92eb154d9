#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "auth/registry.h"
#include "toolchain/engines.h"

namespace vellora {

// The printed forms, kept apart from the printing so they can be checked as text.
std::string devices_listing(const std::vector<Device>& devices, bool has_legacy, std::uint64_t now);
std::string engines_listing(const std::vector<EngineInfo>& engines);

}  // namespace vellora
