#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {

// What `vellora-agent --help` prints: the usage line, where the agent listens, then every command
// with one line each.
std::string help_text(unsigned port);

// One command's usage: what it does, its arguments and whether it asks before changing anything.
// None when the word is not a command.
std::optional<std::string> command_usage(std::string_view word);

// True when an argument after the command word asks for its usage ("-h" or "--help").
bool asks_for_help(const std::vector<std::string>& args);

// The first argument after the command word that looks like an option ("-x", "--x") and that the
// command does not take; none when there is no such argument.
std::optional<std::string> unknown_option(const std::vector<std::string>& args);

}  // namespace vellora
