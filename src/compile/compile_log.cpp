#include "compile/compile_log.h"

#include <algorithm>

#include "common/text.h"

namespace vellora {

std::string pass_log(std::string_view log_file, std::string_view output,
                     std::string_view engine_name) {
  if (log_file.empty()) return std::string(output);
  if (trim(output).empty()) return std::string(log_file);
  return std::string(log_file) + "\n\n----- output of " + std::string(engine_name) + " -----\n" +
         std::string(output);
}

std::vector<std::string> bibtex_errors(std::string_view log) {
  std::vector<std::string> errors;
  for (std::string_view raw : split_lines(log)) {
    const std::string_view line = trim(raw);
    const bool is_error = (line.find("---line ") != std::string_view::npos &&
                           line.find(" of file ") != std::string_view::npos) ||
                          line.find("I couldn't open database file") != std::string_view::npos ||
                          line.find("I couldn't open style file") != std::string_view::npos ||
                          line.find("I couldn't open file name") != std::string_view::npos;
    if (!is_error || std::find(errors.begin(), errors.end(), line) != errors.end()) continue;
    errors.emplace_back(line);
    if (errors.size() == 4) break;
  }
  return errors;
}

bool biber_missing(std::string_view log) {
  // latexmk runs it as "biber <job>"; the shell or cmd then says it has no such program.
  if (log.find("Running 'biber") == std::string_view::npos) return false;
  for (const std::string_view said :
       {"biber: not found", "biber: command not found", "'biber' is not recognized"})
    if (log.find(said) != std::string_view::npos) return true;
  return false;
}

std::string assemble_log(std::string log, const InstallLog& installs, bool succeeded,
                         bool timed_out, int time_limit_secs) {
  if (!installs.installed.empty())
    log = "Packages installed automatically (local TeX Live): " + join(installs.installed, ", ") +
          "\n\n" + log;
  if (!installs.failed.empty())
    log = "Could not install automatically (tlmgr): " + join(installs.failed, "; ") + "\n\n" + log;
  if (!succeeded) {
    const auto errors = bibtex_errors(log);
    if (!errors.empty())
      log = "BibTeX found errors: " + join(errors, " | ") +
            ". If it is a .bst style from the project, try the TeX Live version (e.g. delete the "
            "project's .bst).\n\n" +
            log;
  }
  if (!succeeded && biber_missing(log))
    log = "This document's bibliography needs Biber (biblatex with backend=biber), which is not "
          "installed: install it (TeX Live: tlmgr install biber; Debian and Ubuntu: apt install "
          "biber) and compile again.\n\n" +
          log;
  if (timed_out)
    log += "\n\nCompilation time limit exceeded (" + std::to_string(time_limit_secs) + " seconds).";
  return log;
}

}  // namespace vellora
