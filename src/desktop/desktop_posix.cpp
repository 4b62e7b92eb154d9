#include <iostream>
#include <optional>
#include <string_view>

#include "common/text.h"
#include "desktop/clipboard_wait.h"
#include "desktop/desktop.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/shell.h"

namespace vellora {
namespace {

using Variables = std::vector<std::pair<std::string, std::string>>;

constexpr const char* NO_SESSION =
    "neither DISPLAY nor WAYLAND_DISPLAY is set, in the agent's environment or in the user "
    "manager's (systemctl --user show-environment)";

bool is_set(const char* name) {
  const auto value = platform::get_env(name);
  return value && !value->text.empty();
}

// The user manager's environment, from `systemctl --user show-environment` (VELLORA_SYSTEMCTL
// names another program); empty when it cannot be read.
Variables user_manager_environment() {
  platform::Command command;
  const auto program = platform::get_env("VELLORA_SYSTEMCTL");
  command.program = program && !program->text.empty() ? program->text : "systemctl";
  command.args = {"--user", "show-environment"};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(5);
  const auto result = platform::run(command, options);
  Variables variables;
  if (!result || !result->success()) return variables;
  for (const std::string_view line : split_lines(result->out)) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view value = line.substr(equals + 1);
    // A value holding special characters comes shell-quoted ($'...'): none of ours does.
    if (value.starts_with("$'")) continue;
    variables.emplace_back(line.substr(0, equals), value);
  }
  return variables;
}

// What desktop programs need added to the agent's environment to reach the graphical session; none
// when no session can be found. An agent that the user manager starts at log-in may have started
// before the session handed the manager its DISPLAY or WAYLAND_DISPLAY: those (and XAUTHORITY)
// are then taken from the manager's environment as it is now.
std::optional<Variables> session_variables() {
  if (is_set("DISPLAY") || is_set("WAYLAND_DISPLAY")) return Variables{};
  Variables taken;
  bool found = false;
  for (auto& [name, value] : user_manager_environment()) {
    if (value.empty()) continue;
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY") {
      found = true;
    } else if (name != "XAUTHORITY" || is_set("XAUTHORITY")) {
      continue;
    }
    taken.emplace_back(std::move(name), std::move(value));
  }
  if (!found) return std::nullopt;
  return taken;
}

// The session's variables for `action`, saying on standard error when there is no session (the
// program is still tried: it may know another way).
Variables session_for(std::string_view action) {
  if (auto variables = session_variables()) return std::move(*variables);
  std::cerr << "Desktop: " << action << " may fail: " << NO_SESSION << "\n" << std::flush;
  return {};
}

bool has(const Variables& variables, std::string_view name) {
  for (const auto& variable : variables)
    if (variable.first == name) return true;
  return false;
}

}  // namespace

bool show_notification(const std::string& title, const std::string& body,
                       std::chrono::seconds lifetime) {
  platform::Command command;
  command.program = "notify-send";
  // Without a name the daemon shows "notify-send"; "--" keeps a text starting with "-" a text.
  command.args = {"--app-name=Vellora"};
  if (lifetime.count() > 0)
    command.args.push_back("--expire-time=" + std::to_string(lifetime.count() * 1000));
  command.args.insert(command.args.end(), {"--", title, body});
  const auto result = platform::run(command);
  return result && result->success();
}

bool copy_to_clipboard(const std::string& text) {
  platform::Command command;
  command.env = session_for("copying to the clipboard");
  if (is_set("WAYLAND_DISPLAY") || has(command.env, "WAYLAND_DISPLAY")) {
    command.program = "wl-copy";
  } else {
    command.program = "xclip";
    command.args = {"-selection", "clipboard"};
  }
  return run_clipboard_program(std::move(command), text);
}

void open_in_browser(const std::string& url) {
  platform::open_with_default_handler(url, session_for("opening the browser"));
}

std::optional<std::string> desktop_unreachable() {
  if (session_variables()) return std::nullopt;
  return std::string(NO_SESSION);
}

}  // namespace vellora
