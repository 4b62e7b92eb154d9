#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace vellora {

// A format the engine starts from instead of its own: the file `name`.fmt in `dir`.
struct FormatFile {
  std::filesystem::path dir;
  std::string name;
};

struct EngineRun {
  std::string_view engine_id;     // "agent-pdflatex", ...
  std::filesystem::path program;  // latexmk, tectonic or context
  std::string main_file;          // project-relative, "/"-separated
  std::filesystem::path work_dir;
  std::filesystem::path out_dir;
  std::string path_value;  // PATH of the child
  bool forced = false;     // latexmk "-g"
  // The run's own caches and ConTeXt's variables, over the allowed part of the agent's own.
  std::vector<std::pair<std::string, std::string>> extra_env;
  // ConTeXt: a folder put first on PATH holding the `luatex` it must start.
  std::optional<std::filesystem::path> context_engine_dir;
  std::optional<platform::Confinement> confinement;  // none: unconfined
  // pdfLaTeX and XeLaTeX: the format of the document's preamble (see preamble_cache.h).
  std::optional<FormatFile> format;
};

// The fixed argument list and environment of one engine run. Shell escape is always off (ConTeXt
// also runs in its own sandbox), no latexmk configuration file is read, kpathsea lets TeX open
// files only below the working directory and the output directory, never dot files, and the
// environment is built from nothing but what a TeX run needs.
platform::Command engine_command(const EngineRun& run);

// TEXINPUTS, BIBINPUTS and BSTINPUTS that let TeX find files beside a main file in a
// subdirectory: ".", that directory, then the agent's own value. Empty for a main file at the root.
std::vector<std::pair<std::string, std::string>> input_path_env(
    const std::string& main_file, const std::filesystem::path& work_dir);

// The parent directory of a "/"-separated path ("" at the root).
std::string parent_of(std::string_view path);

// "chapters/thesis.tex" -> "thesis"; "main" when there is no stem.
std::string job_name(std::string_view main_file);

}  // namespace vellora
