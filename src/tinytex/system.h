#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "net/fetch.h"

namespace vellora {

// What differs between systems for TinyTeX: where it goes, which package fits, how it unpacks.
struct TinyTexSystem {
  std::string label;         // "Windows", "Linux"
  std::string architecture;  // "x86_64", "aarch64"
  std::string word;          // the package's platform word: "windows", "linux-x86_64", ...
  std::string extension;     // ".exe", ".tar.xz"
  std::string root_name;     // the package's top-level directory: "TinyTeX", ".TinyTeX"
  std::vector<std::string> identifiers;   // for the install-command table: "windows", "debian", ...
  std::vector<std::string> unpack_tools;  // programs the unpacking needs besides the downloader
  bool musl = false;                      // no package is published for musl systems
};

TinyTexSystem tinytex_system();

// The per-user TinyTeX root: %APPDATA%\TinyTeX on Windows, ~/.TinyTeX elsewhere.
std::filesystem::path tinytex_target(const std::filesystem::path& home);

// Unpacks the package into the directory within the time limit (the whole process tree is ended
// past it). The error is the unpacker's last line (empty when it said nothing); the system's text
// when it cannot start.
std::expected<void, std::string> unpack_package(const std::filesystem::path& package,
                                                const std::filesystem::path& into,
                                                std::chrono::seconds limit, net::ToolOutput output);

}  // namespace vellora
