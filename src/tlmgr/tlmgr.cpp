#include "tlmgr/tlmgr.h"

#include <algorithm>
#include <chrono>

#include "common/file.h"
#include "common/text.h"
#include "platform/process.h"
#include "project/names.h"
#include "tlmgr/log_scan.h"
#include "tlmgr/source_scan.h"
#include "toolchain/limits.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr int COMBINED_SEARCH_LIMIT_SECS = 120;
// A hung kpsewhich or search must not keep the project busy for ever.
constexpr int LOOKUP_LIMIT_SECS = 60;
constexpr std::size_t FILES_PER_PASS = 6;

bool starts_with_space(std::string_view line) {
  return trim(line).data() != line.data();
}

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// kpsewhich finds the file (or cannot be asked: then nothing is installed for it).
bool kpsewhich_finds(const fs::path& kpsewhich, const std::string& file, const fs::path& work_dir,
                     const std::string& path_value) {
  platform::Command command;
  command.program = kpsewhich;
  command.args = {file};
  command.cwd = work_dir;
  command.env = {{"PATH", path_value}};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(LOOKUP_LIMIT_SECS);
  options.output_limit = 1 << 20;
  const auto result = platform::run(command, options);
  if (!result || result->timed_out) return true;
  return !trim(utf8_lossy(result->out)).empty();
}

std::string escape_dots(const std::string& file) {
  std::string out;
  for (char c : file) {
    if (c == '.') out += '\\';
    out += c;
  }
  return out;
}

void install_all(const std::vector<std::string>& packages, const fs::path& tlmgr,
                 const std::string& path_value, InstallLog& log) {
  for (const auto& package : packages) {
    const auto installed = install_package(tlmgr, package, path_value);
    if (installed) {
      if (!contains(log.installed, package)) log.installed.push_back(package);
    } else {
      log.failed.push_back(package + ": " + installed.error());
    }
  }
}

}  // namespace

ToolResult run_tlmgr(const fs::path& tlmgr, const std::vector<std::string>& args,
                     const std::optional<std::string>& path_value, int limit_secs) {
  platform::Command command;
  command.program = tlmgr;
  command.args = args;
  if (path_value) command.env = {{"PATH", *path_value}};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(limit_secs);
  const auto result = platform::run(command, options);
  if (!result) return {false, "could not run tlmgr", {}};
  if (result->timed_out) return {false, "timed out", {}};
  std::string out = utf8_lossy(result->out);
  return {result->success(), out + utf8_lossy(result->err), out};
}

std::string tlmgr_summary(std::string_view text) {
  const auto lines = split_lines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const std::string_view line = trim(*it);
    if (line.empty() || (line.size() > 3 && line.starts_with("===="))) continue;
    return first_chars(line, 200);
  }
  return "no details";
}

std::expected<void, std::string> install_package(const fs::path& tlmgr, const std::string& package,
                                                 const std::optional<std::string>& path_value) {
  if (!safe_tex_file_name(package)) return std::unexpected("not a package name");
  const ToolResult first = run_tlmgr(tlmgr, {"install", package}, path_value, run_limit_secs());
  if (first.ok) return {};
  if (first.text.find("tlmgr itself needs to be updated") != std::string::npos ||
      first.text.find("tlmgr update --self") != std::string::npos) {
    const ToolResult update = run_tlmgr(tlmgr, {"update", "--self"}, path_value, run_limit_secs());
    if (!update.ok)
      return std::unexpected("tlmgr is out of date and I could not update it: " +
                             tlmgr_summary(update.text));
    const ToolResult again = run_tlmgr(tlmgr, {"install", package}, path_value, run_limit_secs());
    if (again.ok) return {};
    return std::unexpected(tlmgr_summary(again.text));
  }
  return std::unexpected(tlmgr_summary(first.text));
}

std::vector<std::string> packages_in_search(std::string_view output,
                                            const std::vector<std::string>& files) {
  std::vector<std::string> packages;
  std::optional<std::string_view> current;
  for (std::string_view line : split_lines(output)) {
    if (!line.empty() && !starts_with_space(line) && line.ends_with(':')) {
      current = line.substr(0, line.size() - 1);
      continue;
    }
    if (!current) continue;
    const std::string_view entry = trim(line);
    for (const auto& file : files) {
      if (entry.ends_with("/" + file) && !contains(packages, *current))
        packages.emplace_back(*current);
    }
  }
  return packages;
}

void preinstall_from_sources(const fs::path& work_dir, const std::vector<FileRef>& files,
                             const fs::path& tlmgr, const std::string& path_value,
                             InstallLog& log) {
  std::vector<std::string> own_names;
  for (const auto& file : files) own_names.emplace_back(last_segment(file.path));
  const auto kpsewhich = find_program("kpsewhich");

  std::vector<std::string> missing;
  for (const auto& file : files) {
    const std::string_view name = last_segment(file.path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) continue;
    const std::string_view extension = name.substr(dot + 1);
    if (extension != "tex" && extension != "cls" && extension != "sty") continue;
    const auto text = read_file(work_dir / utf8_path(file.path));
    if (!text || !is_valid_utf8(*text)) continue;
    for (const auto& wanted : wanted_files_in_source(*text)) {
      if (!safe_tex_file_name(wanted) || contains(own_names, wanted) || contains(missing, wanted))
        continue;
      if (!kpsewhich || !kpsewhich_finds(*kpsewhich, wanted, work_dir, path_value))
        missing.push_back(wanted);
    }
  }
  if (missing.empty()) return;

  std::vector<std::string> escaped;
  for (const auto& file : missing) escaped.push_back(escape_dots(file));
  const std::string pattern = "/(" + join(escaped, "|") + ")$";
  const ToolResult search = run_tlmgr(tlmgr, {"search", "--global", "--file", pattern}, path_value,
                                      COMBINED_SEARCH_LIMIT_SECS);
  install_all(packages_in_search(search.text, missing), tlmgr, path_value, log);
}

bool install_from_log(std::string_view log_text, const fs::path& tlmgr,
                      const std::string& path_value, InstallLog& log,
                      const std::vector<FileRef>& project_files) {
  std::vector<std::string> project_paths;
  for (const FileRef& ref : project_files) project_paths.push_back(ref.path);
  std::vector<std::string> batch;
  for (auto& file : missing_files_in_log(log_text, project_paths)) {
    if (batch.size() == FILES_PER_PASS) break;
    if (!contains(log.tried, file)) batch.push_back(std::move(file));
  }
  bool progress = false;
  for (const auto& file : batch) {
    log.tried.push_back(file);
    const ToolResult search = run_tlmgr(tlmgr, {"search", "--global", "--file", "/" + file},
                                        path_value, LOOKUP_LIMIT_SECS);
    const auto packages = packages_in_search(search.out, {file});
    if (packages.empty()) {
      log.failed.push_back(file + ": no TeX Live package contains this file");
      continue;
    }
    const std::string& package = packages.front();
    if (contains(log.installed, package)) {
      progress = true;
      continue;
    }
    const auto installed = install_package(tlmgr, package, path_value);
    if (installed) {
      log.installed.push_back(package);
      progress = true;
    } else {
      log.failed.push_back(package + " (" + file + "): " + installed.error());
    }
  }
  return progress;
}

}  // namespace vellora
