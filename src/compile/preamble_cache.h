#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "compile/engine_command.h"

namespace vellora {

// The formats of projects' preambles (see preamble_format.h), in the cache directory's "formats",
// one folder per project, bounded in total size (VELLORA_FORMAT_CACHE_MB, 2 GiB by default; the
// least recently used go first). A format is dumped in the background after a successful
// compile, one dump at a time, confined like the engine and at the lowest priority; a compile of
// the project stops its dump first, so no dump ever reads a project that is being changed.
// VELLORA_PREAMBLE_CACHE: "off" turns all of it off; "wait" makes a compile wait for the dump it
// asked for (for tests).

// One project's main file compiled by one engine.
struct PreambleKey {
  std::string project;
  std::string engine_id;
  std::string main_file;
  std::filesystem::path work_dir;
  std::filesystem::path out_dir;
  std::vector<std::string> project_paths;
};

// A format that may be used.
struct SavedFormat {
  FormatFile file;
  int begin_line = 0;  // where the run must find the document's beginning
};

struct PreambleCheck {
  std::optional<SavedFormat> use;  // a format made from exactly this preamble and its files
  bool dump = false;               // none yet (or a stale one): dump one after a success
};

// Whether this compile may use a format or should have one dumped. Reads the main file and
// hashes every file the dump read; nothing is used unless all are as they were.
PreambleCheck check_preamble_format(const PreambleKey& key);

// Asks for a format of the preamble, dumped with `run`'s environment and confinement (only the
// output folder changed). Returns at once, unless VELLORA_PREAMBLE_CACHE says "wait".
void request_preamble_dump(const PreambleKey& key, const EngineRun& run);

// A format that failed where the compile without it did not: it is removed and the preamble is
// remembered as one that cannot be dumped, until it or a file it read changes.
void reject_preamble_format(const PreambleKey& key, const std::string& reason);

// Whether the output folder's last run started from a format other than `now` (none: the
// engine's own). latexmk then knows nothing of what that format's preamble read, and must rebuild
// rather than trust its record of the files.
bool last_run_format_differs(const PreambleKey& key, const std::optional<FormatFile>& now);

// Stops the project's dump, queued or running, and returns once none runs: the project's files
// may then change.
void stop_preamble_dumps(const std::string& project);

bool preamble_cache_enabled();

}  // namespace vellora
