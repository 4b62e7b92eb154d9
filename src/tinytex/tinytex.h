#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "tinytex/system.h"

namespace vellora {

// The package chosen from TinyTeX's release description.
struct TinyTexRelease {
  std::string tag;
  std::string name;
  std::string url;
  std::string sha256;  // lower case
  std::uint64_t size = 0;
};

// "TinyTeX-1-<word>-<tag><extension>"
std::string tinytex_package_name(const TinyTexSystem& system, const std::string& tag);

// Checks the release's tag, asset, published digest and download URL.
std::expected<TinyTexRelease, std::string> choose_package(const json::value& release,
                                                          const TinyTexSystem& system);

// "required tools are missing: a, b." and, when the system is known, how to install them.
std::string missing_tools_message(const std::vector<std::string>& tools,
                                  const std::vector<std::string>& identifiers);

// The root's tlmgr: bin/<each entry>/tlmgr(.exe|.bat); none when there is none.
std::optional<std::filesystem::path> find_tlmgr(const std::filesystem::path& root);

// "tlmgr install latexmk"; a failure is reported on standard error only.
void install_latexmk(const std::filesystem::path& tlmgr);

// What the installer talks to: the terminal and the toolchain. Tests give their own.
struct TinyTexDialogue {
  std::function<std::expected<bool, std::string>(const std::string& question)> confirm;
  std::function<std::vector<std::string>()> engine_names;
  std::function<bool(const std::string& program)> program_available;
  std::ostream* out = nullptr;
  // Whether the downloader's and unpacker's own words are shown as they come (at a terminal).
  net::ToolOutput tool_output = net::ToolOutput::Captured;
};
TinyTexDialogue terminal_dialogue(bool assume_yes);

std::expected<void, std::string> install_tinytex(const std::filesystem::path& home,
                                                 bool assume_yes);
std::expected<void, std::string> install_tinytex_with(const std::filesystem::path& home,
                                                      const TinyTexSystem& system,
                                                      const TinyTexDialogue& dialogue);

std::expected<void, std::string> uninstall_tinytex(const std::filesystem::path& home,
                                                   bool assume_yes);
std::expected<void, std::string> uninstall_tinytex_with(const std::filesystem::path& home,
                                                        const TinyTexDialogue& dialogue);

}  // namespace vellora
