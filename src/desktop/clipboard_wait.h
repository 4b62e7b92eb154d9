#pragma once

#include <chrono>

#include "platform/process.h"

namespace vellora {

// Runs a clipboard program with the text on its standard input. Some keep running to serve the
// clipboard, so a program still running 3 seconds later counts as a success and is left alone.
inline bool run_clipboard_program(platform::Command command, const std::string& text) {
  command.input = text;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(3);
  options.contain = false;
  const auto result = platform::run(command, options);
  return result && (result->timed_out || result->success());
}

}  // namespace vellora
