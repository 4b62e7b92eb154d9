#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vellora::platform {

// The path of the running executable, or the system's error text.
std::expected<std::filesystem::path, std::string> current_exe();

// A program that comes with the system, by its full path: on Windows `<name>.exe` in the system
// folder (System32), never one from the agent's folder, the working directory or PATH, where a
// planted copy could wait (the tests' stand-ins come from the folder VELLORA_SYSTEM_PROGRAMS
// names, when set); elsewhere the bare name, looked up in PATH.
std::filesystem::path system_program(std::string_view name);

// The running process's identifier.
std::uint64_t current_pid();

// True when standard input is an interactive terminal (on Windows also an MSYS or Cygwin
// pseudo-terminal pipe).
bool stdin_is_terminal();

// Lets everyone read and run the file where the system keeps such permissions; a no-op on Windows,
// where every file can be run.
std::expected<void, std::string> make_executable(const std::filesystem::path& path);

// Starts a program that outlives the caller: a session of its own (on Windows a new process group
// without a console window), standard streams on the null device, not waited for.
std::expected<void, std::string> start_in_background(const std::filesystem::path& program,
                                                     const std::vector<std::string>& args);

// Removes the running program's own file: at once where the system allows it (POSIX), else
// (Windows, where a running program's file cannot be deleted) by a short-lived helper that
// deletes it, and its folder when that is left empty, once this process has ended. True when
// the removal is left to that helper.
std::expected<bool, std::string> remove_own_file(const std::filesystem::path& file);

}  // namespace vellora::platform
