#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "project/file_refs.h"

namespace vellora {

// What one compile request installed, failed to install and already searched.
struct InstallLog {
  std::vector<std::string> installed;  // package names, each once, in installation order
  std::vector<std::string> failed;     // one message per failed attempt
  std::vector<std::string> tried;      // file names already searched after a pass
};

struct ToolResult {
  bool ok = false;
  std::string text;  // standard output followed by standard error
  std::string out;   // standard output alone
};

// Runs tlmgr under a time limit; at the limit the whole process tree is killed.
ToolResult run_tlmgr(const std::filesystem::path& tlmgr, const std::vector<std::string>& args,
                     const std::optional<std::string>& path_value, int limit_secs);

// The last meaningful line of tlmgr's output, at most 200 characters.
std::string tlmgr_summary(std::string_view text);

// Installs one package, updating tlmgr itself first when it asks for that.
std::expected<void, std::string> install_package(const std::filesystem::path& tlmgr,
                                                 const std::string& package,
                                                 const std::optional<std::string>& path_value);

// Packages whose file lines in a "tlmgr search --file" output end with "/" + one of the files,
// in order of appearance, each once.
std::vector<std::string> packages_in_search(std::string_view output,
                                            const std::vector<std::string>& files);

// Before the first pass: installs the packages of the files the sources load and kpsewhich
// cannot find.
void preinstall_from_sources(const std::filesystem::path& work_dir,
                             const std::vector<FileRef>& files, const std::filesystem::path& tlmgr,
                             const std::string& path_value, InstallLog& log);

// After a failed pass: installs the packages of up to six new missing files named in the log.
// True when at least one of them is now covered by an installed package.
// Files of the project itself are never looked for in TeX Live.
bool install_from_log(std::string_view log_text, const std::filesystem::path& tlmgr,
                      const std::string& path_value, InstallLog& log,
                      const std::vector<FileRef>& project_files = {});

}  // namespace vellora
