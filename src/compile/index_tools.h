#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compile/engine_command.h"

namespace vellora {

// Indexes and glossaries a document builds during its own run: glossaries' `automake` and
// imakeidx call makeindex through shell escape, which the engine never has. Their logs say what
// they would have run ("runsystem(makeindex ...)...disabled." for glossaries, "`makeindex ...'" in
// imakeidx's reminder); the agent runs those makeindex commands itself between engine runs.

// The makeindex argument lists (program name left out) that the log asks for, in order and
// without repeats. A request whose arguments are not the plain options and relative file names
// makeindex needs (an absolute path, "..", an unknown option...) is left out.
std::vector<std::vector<std::string>> requested_makeindex_runs(std::string_view log);

struct IndexRound {
  bool changed = false;            // some index or glossary file is new or different
  std::vector<std::string> notes;  // one line per makeindex run that failed
};

// Runs the requested makeindex commands in the output folder (where TeX wrote their input), with
// the engine's environment and confinement, and style files found in the output folder, the
// main file's folder and the work directory.
IndexRound build_requested_indexes(const EngineRun& run, std::string_view log);

}  // namespace vellora
