#include "compile/engine_command.h"

#include "common/file.h"
#include "compile/confinement.h"
#include "platform/env.h"
#include "project/names.h"

namespace vellora {
namespace fs = std::filesystem;

std::string parent_of(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string job_name(std::string_view main_file) {
  const std::string stem = platform::path_text(utf8_path(last_segment(main_file)).stem());
  return stem.empty() ? "main" : stem;
}

std::vector<std::pair<std::string, std::string>> input_path_env(const std::string& main_file,
                                                                const fs::path& work_dir) {
  const std::string parent = parent_of(main_file);
  if (parent.empty()) return {};
  const std::string separator(1, platform::path_list_separator());
  const std::string dot = "." + separator;
  const std::string dir = platform::path_text(work_dir / utf8_path(parent));
  std::vector<std::pair<std::string, std::string>> vars;
  for (const char* name : {"TEXINPUTS", "BIBINPUTS", "BSTINPUTS"}) {
    std::string rest;
    if (const auto own = platform::get_env(name); own && own->valid_unicode) rest = own->text;
    while (rest.starts_with(dot)) rest.erase(0, dot.size());
    vars.emplace_back(name, dot + dir + separator + rest);
  }
  return vars;
}

namespace {

// Sets a variable of an environment given whole, replacing an earlier value.
void set_var(std::vector<std::pair<std::string, std::string>>& env, const std::string& name,
             std::string value) {
  for (auto& [key, old] : env)
    if (key == name) {
      old = std::move(value);
      return;
    }
  env.emplace_back(name, std::move(value));
}

}  // namespace

platform::Command engine_command(const EngineRun& run) {
  const std::string out = platform::path_text(run.out_dir);
  platform::Command command;
  command.program = run.program;
  command.cwd = run.work_dir;
  command.capture_output = true;
  command.inherit_environment = false;
  command.env = allowed_environment();
  std::string path = run.path_value;
  if (run.context_engine_dir)
    path = platform::path_text(*run.context_engine_dir) + platform::path_list_separator() + path;
  for (auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"PATH", path},
           {"openin_any", "p"},
           {"openout_any", "p"},
           {"shell_escape", "f"},
           // The one absolute place TeX may also read and write in paranoid mode.
           {"TEXMFOUTPUT", out},
           // Temporary files (biber's, for one) stay with the project: a confined run may not
           // write in the system's temporary folder.
           {"TMPDIR", platform::path_text(run.out_dir / ".tmp")}})
    set_var(command.env, name, std::move(value));
  command.confinement = run.confinement;
  for (auto& [name, value] : input_path_env(run.main_file, run.work_dir))
    set_var(command.env, name, std::move(value));
  for (const auto& [name, value] : run.extra_env) set_var(command.env, name, value);

  if (run.engine_id == "agent-tectonic") {
    command.args = {"-X", "compile", "--synctex", "--keep-logs", "--outdir", out, run.main_file};
  } else if (run.engine_id == "agent-context") {
    // ConTeXt's own sandbox: no programs started, Lua's file functions kept to the project. The
    // engine is taken from PATH, where the wrapper that turns shell escape off comes first.
    command.args = {"--nonstopmode", "--sandbox"};
    if (run.context_engine_dir) command.args.push_back("--nobinarypath");
    if (const std::string parent = parent_of(run.main_file); !parent.empty())
      command.args.push_back("--path=" + parent);
    command.args.push_back(run.main_file);
  } else {
    const std::string engine = run.engine_id == "agent-xelatex"    ? "xelatex"
                               : run.engine_id == "agent-lualatex" ? "lualatex"
                                                                   : "pdflatex";
    const std::string mode = engine == "pdflatex" ? "-pdf" : "-" + engine;
    command.args = {"-norc"};
    if (run.forced) command.args.push_back("-g");
    // A format is named, not given by its path: the name needs no quoting in the command line
    // latexmk hands to a shell, and TEXFORMATS says where it is.
    const std::string format = run.format ? " -fmt=" + run.format->name : std::string();
    command.args.insert(
        command.args.end(),
        {mode, "-interaction=nonstopmode", "-halt-on-error", "-synctex=1", "-file-line-error",
         "-" + engine + "=" + engine + " -no-shell-escape" + format + " %O %S", "-outdir=" + out,
         run.main_file});
    if (run.format) {
      set_var(command.env, "TEXFORMATS", platform::path_text(run.format->dir));
      if (command.confinement) command.confinement->read_only.push_back(run.format->dir);
    }
    // No system-wide latexmk configuration either.
    set_var(command.env, "LATEXMKRCSYS", platform::null_device());
    // Unwrapped log lines: TeX otherwise breaks them at 79 columns, which splits the messages
    // that name a missing font or babel language.
    set_var(command.env, "max_print_line", "10000");
  }
  return command;
}

}  // namespace vellora
