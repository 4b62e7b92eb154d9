#pragma once

#include <string>
#include <vector>

namespace vellora {

// Runs the command named by the first argument and answers true; answers false when there is no
// argument or the word is not a command (agent mode then starts). A failing command prints
// "Error: ..." and ends the process with status 1.
bool dispatch_command(const std::vector<std::string>& args);

// True when "--yes" or "-y" is among the arguments, anywhere.
bool assume_yes(const std::vector<std::string>& args);

}  // namespace vellora
