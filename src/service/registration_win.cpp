#include <chrono>
#include <optional>
#include <thread>

#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "service/binary.h"
#include "service/registration.h"
#include "service/windows_programs.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// Runs a program of the system folder; none when it could not start or failed.
std::optional<std::string> run_system_program(const char* program, std::vector<std::string> args) {
  platform::Command command;
  command.program = platform::system_program(program);
  command.args = std::move(args);
  command.capture_output = true;
  command.no_window = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(30);
  const auto result = platform::run(command, options);
  if (!result || !result->success()) return std::nullopt;
  return result->out;
}

}  // namespace

fs::path installed_exe_path(const fs::path& home) {
  return home / "AppData/Local/Programs/vellora-agent/vellora-agent.exe";
}

bool service_installed(const fs::path&) {
  return run_system_program("reg", reg_query_args()).has_value();
}

std::string service_status_text(const fs::path& home) {
  if (!service_installed(home)) return "not installed (vellora-agent install)";
  return "installed (" + platform::path_text(installed_exe_path(home)) + ")";
}

std::expected<void, std::string> register_service(const fs::path& home) {
  const std::string installed = platform::path_text(installed_exe_path(home));
  const auto failed = [] {
    return std::unexpected(
        std::string("could not register automatic startup (the user's Run key)"));
  };
  if (!run_system_program("reg", reg_add_args(installed))) return failed();
  // Read back: only a value that holds our command means the agent starts at log-on.
  const auto written = run_system_program("reg", reg_query_args());
  if (!written || !run_value_listed(*written, installed)) return failed();
  return {};
}

void unregister_service(const fs::path&) {
  (void)run_system_program("reg", reg_delete_args());
}

void stop_other_agents() {
  for (const auto image : WINDOWS_IMAGE_NAMES)
    (void)run_system_program("taskkill", taskkill_image_args(image, platform::current_pid()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

std::expected<void, std::string> restart_service(const fs::path& home) {
  stop_other_agents();
  return start_background(installed_exe_path(home));
}

std::expected<void, std::string> hand_over_restart(const fs::path& home) {
  // The installed copy's own "install" stops this agent, starts itself and verifies.
  const auto started = platform::start_in_background(installed_exe_path(home), {"install"});
  if (!started) return std::unexpected("could not start the agent: " + started.error());
  return {};
}

std::string background_run_hint() {
  return "run `vellora-agent.exe background` in a terminal to see the error";
}

}  // namespace vellora
