#include "agent/run_agent.h"
#include "cli/dispatch.h"
#include "platform/env.h"

int main(int argc, char** argv) {
  vellora::platform::prepare_runtime();
  const auto args = vellora::platform::program_arguments(argc, argv);
  if (vellora::dispatch_command(args)) return 0;
  return vellora::run_agent(args);
}
