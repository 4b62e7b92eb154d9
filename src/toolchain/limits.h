#pragma once

namespace vellora {

// Seconds one engine run or one tlmgr install may take before its process tree is killed: 300,
// unless VELLORA_RUN_LIMIT_SECS (meant for tests) says otherwise.
int run_limit_secs();

}  // namespace vellora
