#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tlmgr/tlmgr.h"

namespace vellora {

// The log of one pass: the TeX log file, followed by the engine's own output when it said
// anything; the output alone when there is no log file.
std::string pass_log(std::string_view log_file, std::string_view output,
                     std::string_view engine_name);

// The first four distinct BibTeX error lines of a log.
std::vector<std::string> bibtex_errors(std::string_view log);

// The reply's log: what failed to install, what was installed and BibTeX's errors on top, the
// time-limit sentence at the end.
// Whether latexmk wanted to run Biber and found no such program.
bool biber_missing(std::string_view log);

std::string assemble_log(std::string log, const InstallLog& installs, bool succeeded,
                         bool timed_out, int time_limit_secs);

}  // namespace vellora
