#include "service/update_actions.h"

#include <chrono>
#include <optional>
#include <thread>

#include "common/text.h"
#include "desktop/desktop.h"
#include "platform/process.h"
#include "platform/program.h"
#include "service/binary.h"
#include "service/manifest.h"
#include "service/update_state.h"

namespace vellora {
namespace {

// The last line of a program's output, one trailing line break removed.
std::string last_line(std::string_view bytes) {
  std::string text = utf8_lossy(bytes);
  if (text.ends_with("\n")) text.pop_back();
  if (text.ends_with("\r")) text.pop_back();
  const std::size_t start = text.rfind('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

void check_now() {
  UpdateState& state = update_state();
  const auto context = state.context();
  if (!context) {
    state.set_status_message("The check is still starting; try again in a moment");
    return;
  }
  if (state.checking.exchange(true)) return;
  state.set_status_message("");
  std::thread([context = *context] {
    UpdateState& state = update_state();
    const auto& [origin, current] = context;
    const auto manifest = fetch_manifest(origin);
    if (!manifest) {
      std::string first = manifest.error().substr(0, manifest.error().find('\n'));
      state.set_status_message("Could not check right now: " + (first.empty() ? "error" : first));
    } else if (is_newer(manifest->version, state.installed_version(current))) {
      state.set_available_version(manifest->version);
      state.set_status_message("New version " + manifest->version + " available");
    } else {
      state.set_available_version(std::nullopt);
      state.set_status_message("You are on the latest version (" + current + ")");
    }
    state.checking.store(false);
  }).detach();
}

namespace {

// The version a program file answers with ("vellora-agent <version>"), if any.
std::optional<std::string> program_version(const std::filesystem::path& program) {
  const auto line = agent_version_of(program, std::chrono::seconds(30));
  if (!line) return std::nullopt;
  return line->substr(std::string_view("vellora-agent ").size());
}

}  // namespace

void update_now() {
  // The name this executable had at start: once an update moved the running file aside, the
  // current one would be "vellora-agent.old".
  if (const auto exe = update_state().program()) {
    update_now_with(*exe);
  } else if (const auto current = platform::current_exe()) {
    update_now_with(*current);
  }
}

void update_now_with(const std::filesystem::path& program) {
  UpdateState& state = update_state();
  if (state.updating.exchange(true)) return;
  state.set_status_message("");
  std::thread([exe = program] {
    UpdateState& state = update_state();
    platform::Command command;
    command.program = exe;
    command.args = {"update", "--yes"};
    command.input = "";
    command.capture_output = true;
    command.no_window = true;
    // The child's restart may end this process; it must not end the child with it.
    platform::RunOptions options;
    options.contain = false;
    const auto result = platform::run(command, options);
    if (!result) {
      state.set_status_message("Update failed: " + result.error());
      show_notification("Vellora: agent update failed", result.error());
    } else if (!result->success()) {
      std::string line = last_line(result->err);
      if (line.empty()) line = "error";
      state.set_status_message("Update failed: " + line);
      show_notification("Vellora: agent update failed", line);
    } else {
      std::string line = last_line(result->out);
      if (line.empty()) line = "Updated.";
      // The file now holds the new version while this process still runs the old one (without
      // the service nothing restarts it): offer nothing more until a restart.
      const auto context = state.context();
      const auto now_there = program_version(exe);
      if (context && now_there && *now_there != context->second) {
        state.set_updated_to(*now_there);
        state.set_available_version(std::nullopt);
      }
      state.set_status_message("Updated: " + line);
      show_notification("Vellora: agent updated", line);
    }
    state.updating.store(false);
  }).detach();
}

}  // namespace vellora
