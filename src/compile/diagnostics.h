#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/json.h"
#include "platform/process.h"

namespace vellora {

// One message of a compile, placed in the project where it can be.
struct Diagnostic {
  std::optional<std::string> file;  // project-relative path; none outside the project
  std::optional<long> line;
  std::string level;  // "error", "warning" or "badbox"
  std::string message;
  bool operator==(const Diagnostic&) const = default;
};

// Turns a path as a tool printed it ("./chap/intro.tex", an absolute path in the work directory,
// a path relative to the main file's folder) into the path of one of the project's files.
class ProjectPaths {
 public:
  // `work_dir` as the tools see it ("/" separators); `main_dir` the main file's folder in the
  // project ("" at the top).
  ProjectPaths(std::string work_dir, std::string main_dir, const std::vector<std::string>& files);
  std::optional<std::string> resolve(std::string_view printed) const;

 private:
  std::string work_dir_;
  std::string main_dir_;
  std::unordered_set<std::string> files_;
};

// The errors, warnings and bad boxes of a TeX or ConTeXt log, in the order they were written, each
// once. Files are followed through the log's "(file ... )" nesting for the messages that do not
// name their own. The work is bounded per line; a cancellation stops it with what was found.
std::vector<Diagnostic> tex_log_diagnostics(std::string_view log, const ProjectPaths& paths,
                                            const platform::Cancellation* cancellation = nullptr);

// The errors and warnings of a BibTeX or Biber transcript (".blg").
std::vector<Diagnostic> bibliography_diagnostics(std::string_view blg, const ProjectPaths& paths);

json::array diagnostics_json(const std::vector<Diagnostic>& diagnostics);

}  // namespace vellora
