#pragma once

#include <string>
#include <vector>

#include "toolchain/engines.h"

namespace vellora {

// Agent mode: binds 127.0.0.1 on the configured port, prints the start-up report and serves
// requests. A port that cannot be bound ends the process with status 1; the exit status is 1
// too when accepting connections fails for good.
int run_agent(const std::vector<std::string>& args);

// The start-up report printed after a successful bind.
std::string startup_report(unsigned port, const std::vector<EngineInfo>& engines);

}  // namespace vellora
