#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellora::platform {

// An environment variable as UTF-8 text; none when unset. `valid_unicode` tells whether the raw
// value was valid text (always true where the system stores variables as UTF-16 and converts).
struct EnvValue {
  std::string text;
  bool valid_unicode = true;
};
std::optional<EnvValue> get_env(const std::string& name);

// The names of every variable of this process's environment.
std::vector<std::string> env_names();

// Variables every program of this system needs to start and find its own files (on Windows the
// system folder, temporary folder and profile; none elsewhere).
std::vector<std::string> system_env_names();

// The value of a variable as a path, taken as the system stores it (no Unicode check).
std::optional<std::filesystem::path> get_env_path(const std::string& name);

// ";" on Windows, ":" elsewhere.
char path_list_separator();

// Splits a PATH-like value the platform's way (on Windows double-quoted entries are unquoted).
std::vector<std::filesystem::path> split_path_list(const std::string& value);

// Joins entries the platform's way. Entries that cannot be represented in such a list (one holding
// the separator on POSIX or a double quote on Windows) and empty ones (which would mean the
// child's working directory) are left out; the others keep their order.
std::string join_path_list(const std::vector<std::filesystem::path>& entries);

// True for a file this platform can start as a program: a regular file (following symbolic
// links) that is executable on POSIX.
bool is_runnable_file(const std::filesystem::path& path);

// Text form of a path for messages and variables (UTF-8).
std::string path_text(const std::filesystem::path& path);

// Process-wide set-up done once at start (on Windows: UTF-8 console output).
void prepare_runtime();

// True in the Windows build. Lets shared code skip locations that only exist there.
bool on_windows();

// The program's arguments as UTF-8 text, argument 0 included.
std::vector<std::string> program_arguments(int argc, char** argv);

// The null device's name: "NUL" on Windows, "/dev/null" elsewhere.
const char* null_device();

}  // namespace vellora::platform
