#include "compile/eps_figures.h"

#include <chrono>
#include <optional>
#include <set>

#include "common/file.h"
#include "common/text.h"
#include "compile/output_files.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/file_stamp.h"
#include "platform/files.h"
#include "platform/links.h"
#include "platform/process.h"
#include "toolchain/limits.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// One PDF per EPS content, named by its digest. A dot folder: kpathsea's paranoid mode keeps TeX
// from reading or writing it.
constexpr const char* CACHE_FOLDER = ".vellora-eps";
constexpr const char* CFG_NAME = "graphics.cfg";
constexpr std::string_view CFG_MARK = "% vellora-agent: EPS figures converted before the run";

bool reads_converted_figures(std::string_view engine_id) {
  return engine_id == "agent-pdflatex" || engine_id == "agent-lualatex";
}

std::string_view extension_of(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? std::string_view() : name.substr(dot + 1);
}

std::optional<fs::path> ghostscript() {
  // TeX Live for Windows brings its own Ghostscript behind "rungs".
  for (const char* name : {"gs", "gswin64c", "gswin32c", "rungs"})
    if (auto found = find_program(name)) return found;
  return std::nullopt;
}

// The folders of `relative` below `base`, all real folders (never a link), created where missing.
bool real_folders(const fs::path& base, const fs::path& relative) {
  fs::path current = base;
  for (const fs::path& part : relative) {
    current /= part;
    if (platform::is_real_directory(current)) continue;
    std::error_code ec;
    if (platform::is_link(current) || !fs::create_directory(current, ec)) return false;
  }
  return true;
}

std::string last_line(std::string_view text) {
  const auto lines = split_lines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (!trim(*it).empty()) return first_chars(trim(*it), 200);
  return {};
}

// Ghostscript reads "%d" in an output name as a page number.
std::string literal_output_name(const fs::path& path) {
  std::string text;
  for (char c : platform::path_text(path)) {
    text += c;
    if (c == '%') text += '%';
  }
  return text;
}

// Converts the project file `source` into `pdf`, through a partial file renamed once complete.
std::expected<void, std::string> convert(const EngineRun& run, const fs::path& gs,
                                         const std::string& source, const fs::path& pdf) {
  fs::path partial = pdf;
  partial.replace_extension(".partial");
  std::error_code ec;
  fs::remove(partial, ec);
  platform::Command command = engine_command(run);
  command.program = gs;
  // Safe mode, the figure's bounding box as its page, and the PDF settings of TeX Live's epstopdf.
  command.args = {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dEPSCrop", "-dAutoRotatePages=/None",
                  "-dCompatibilityLevel=1.5", "-dPDFSETTINGS=/prepress", "-dMaxSubsetPct=100",
                  "-dSubsetFonts=true", "-dEmbedAllFonts=true", "-sDEVICE=pdfwrite",
                  "-sOutputFile=" + literal_output_name(partial),
                  // "-f" takes the next name as a file even when it starts with "-" or "@".
                  "-f", source};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(run_limit_secs());
  options.output_limit = std::size_t{64} << 10;
  const auto result = platform::run(command, options);
  if (!result) return std::unexpected("Ghostscript could not be started: " + result.error());
  if (result->cancelled) return std::unexpected("the compile was cancelled");
  if (result->timed_out)
    return std::unexpected("Ghostscript took longer than " + std::to_string(run_limit_secs()) +
                           " seconds");
  if (!result->success()) {
    fs::remove(partial, ec);
    const std::string why = last_line(utf8_lossy(result->out + "\n" + result->err));
    return std::unexpected("Ghostscript failed" + (why.empty() ? std::string() : ": " + why));
  }
  const auto head = read_output_file(partial, MAX_OUTPUT_BYTES);
  if (!head.bytes || !head.bytes->starts_with("%PDF-")) {
    fs::remove(partial, ec);
    return std::unexpected("Ghostscript wrote no PDF");
  }
  fs::rename(partial, pdf, ec);
  if (ec) return std::unexpected("could not keep the PDF: " + ec.message());
  return {};
}

// Puts the cached PDF at `target` (a hard link where the system allows, a copy otherwise),
// replacing whatever entry is there without following it; the error says why it could not.
std::expected<void, std::string> place(const fs::path& cached, const fs::path& target) {
  const auto have = platform::regular_file_stamp(target);
  const auto want = platform::regular_file_stamp(cached);
  if (!want) return std::unexpected(std::string("the converted PDF is missing"));
  if (have && have->device == want->device && have->file == want->file) return {};
  fs::path temporary = target;
  temporary += ".vellora-partial";
  std::error_code ec;
  fs::remove(temporary, ec);
  fs::create_hard_link(cached, temporary, ec);
  if (ec) {
    ec.clear();
    if (auto copied = platform::clone_or_copy(cached, temporary); !copied)
      return std::unexpected(copied.error());
  }
  fs::rename(temporary, target, ec);
  if (!ec) return {};
  const std::string reason = ec.message();
  fs::remove(temporary, ec);
  return std::unexpected(reason);
}

// The installation's graphics.cfg, as kpsewhich finds it from a folder that holds no TeX file.
std::optional<std::string> installed_graphics_cfg(const fs::path& neutral_dir) {
  const auto kpsewhich = find_program("kpsewhich");
  if (!kpsewhich) return std::nullopt;
  platform::Command command;
  command.program = *kpsewhich;
  command.args = {CFG_NAME};
  command.cwd = neutral_dir;
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(30);
  const auto result = platform::run(command, options);
  if (!result || !result->success()) return std::nullopt;
  const std::string found(trim(result->out));
  if (found.empty()) return std::nullopt;
  const fs::path path = utf8_path(found);
  if (!path.is_absolute()) return std::nullopt;
  return read_output_file(path, std::uintmax_t{1} << 20).bytes;
}

bool is_our_cfg(const fs::path& path) {
  const auto text = read_output_file(path, std::uintmax_t{1} << 20).bytes;
  return text && text->find(CFG_MARK) != std::string::npos;
}

// Where TeX looks for the PDF of each figure: the figure's path from the work directory and,
// for a main file in a folder, from that folder (paths given relative to the main file).
std::vector<std::string> lookup_names(const std::string& path, const std::string& main_folder) {
  std::vector<std::string> names = {converted_figure_name(path)};
  if (!main_folder.empty() && path.starts_with(main_folder + "/"))
    names.push_back(converted_figure_name(path.substr(main_folder.size() + 1)));
  return names;
}

}  // namespace

std::string converted_figure_name(std::string_view path) {
  const std::string_view ext = extension_of(path);
  if (ext != "eps" && ext != "ps") return {};
  return std::string(path.substr(0, path.size() - ext.size() - 1)) + "-" + std::string(ext) +
         "-converted-to.pdf";
}

std::string graphics_cfg_with_epstopdf(std::string_view installed_cfg) {
  std::string cfg;
  for (std::string_view line : split_lines(installed_cfg)) {
    if (trim(line) == "\\endinput") continue;
    cfg.append(line);
    cfg += '\n';
  }
  cfg += CFG_MARK;
  cfg +=
      "\n"
      "% (shell escape is off): epstopdf-base uses their PDFs, as pdftex.def and luatex.def\n"
      "% have it do with shell escape on. A figure without its PDF is shown as the driver\n"
      "% shows an EPS by itself.\n"
      "\\edef\\vellora@eps{\\detokenize{.eps}}\n"
      "\\def\\vellora@setfile#1#2#3{%\n"
      "  \\ifx\\Gin@ext\\relax\\let\\vellora@ext\\Gin@eext\\else\\let\\vellora@ext\\Gin@ext\\fi\n"
      "  \\edef\\vellora@ext{\\detokenize\\expandafter{\\vellora@ext}}%\n"
      "  \\ifx\\vellora@ext\\vellora@eps\n"
      "    \\IfFileExists{\\Gin@base-eps-converted-to.pdf}%\n"
      "      {\\vellora@converted@setfile{#1}{#2}{#3}}%\n"
      "      {\\ETE@OrgGin@setfile{eps}{.eps}{\\Gin@base.eps}}%\n"
      "  \\else\n"
      "    \\vellora@converted@setfile{#1}{#2}{#3}%\n"
      "  \\fi}\n"
      "\\begingroup\\expandafter\\expandafter\\expandafter\\endgroup\n"
      "\\expandafter\\ifx\\csname DoNotLoadEpstopdf\\endcsname\\relax\n"
      "  \\AtBeginDocument{%\n"
      "    \\def\\vellora@pdftex{pdftex.def}\\def\\vellora@luatex{luatex.def}%\n"
      "    \\let\\vellora@next\\@gobble\n"
      "    \\ifx\\Gin@driver\\vellora@pdftex\\let\\vellora@next\\@firstofone\\fi\n"
      "    \\ifx\\Gin@driver\\vellora@luatex\\let\\vellora@next\\@firstofone\\fi\n"
      "    \\ifx\\includegraphics\\@undefined\\let\\vellora@next\\@gobble\\fi\n"
      "    \\vellora@next{%\n"
      "      \\@ifpackageloaded{pst-pdf}{}{%\n"
      "        \\@ifpackageloaded{pdftricks}{}{%\n"
      "          \\@ifpackageloaded{epstopdf-base}{}{%\n"
      "            \\edef\\Gin@extensions{\\Gin@extensions,.eps}%\n"
      "            \\RequirePackage{epstopdf-base}%\n"
      "            \\let\\vellora@converted@setfile\\Gin@setfile\n"
      "            \\let\\Gin@setfile\\vellora@setfile}}}}}\n"
      "\\fi\n"
      "\\endinput\n";
  return cfg;
}

std::vector<std::string> prepare_eps_figures(const EngineRun& run,
                                             const std::vector<FileRef>& files) {
  const fs::path out = run.out_dir;
  const fs::path cfg = out / CFG_NAME;
  // A configuration left by an earlier compile applies only to the run that placed it.
  if (platform::regular_file_stamp(cfg) && is_our_cfg(cfg)) remove_quietly(cfg);
  if (!reads_converted_figures(run.engine_id)) return {};

  std::vector<const FileRef*> figures;
  bool own_cfg = false;
  for (const FileRef& ref : files) {
    if (!converted_figure_name(ref.path).empty()) figures.push_back(&ref);
    own_cfg = own_cfg || ref.path == CFG_NAME || ref.path.ends_with(std::string("/") + CFG_NAME);
  }
  const fs::path cache = out / CACHE_FOLDER;
  if (figures.empty()) {
    std::error_code ec;
    if (platform::is_real_directory(cache)) fs::remove_all(cache, ec);
    return {};
  }

  std::vector<std::string> notes;
  const auto fail = [&](const std::string& path, const std::string& why) {
    notes.push_back("The EPS figure " + path + " was not converted to PDF: " + why + ".");
  };
  std::error_code ec;
  fs::create_directories(out / ".tmp", ec);
  if (!real_folders(out, CACHE_FOLDER)) {
    for (const FileRef* ref : figures) fail(ref->path, "its folder in _out could not be made");
    return notes;
  }
  const auto gs = ghostscript();
  const std::string main_folder = parent_of(run.main_file);
  std::set<fs::path> kept;
  std::size_t placed = 0;
  for (const FileRef* ref : figures) {
    const fs::path cached = cache / (to_lower_ascii(ref->sha256) + ".pdf");
    kept.insert(cached.filename());
    const auto names = lookup_names(ref->path, main_folder);
    // A failure is not kept: what failed for a reason of this machine (a Ghostscript to
    // install, a time limit) may succeed at the next compile.
    std::optional<std::string> failure;
    if (!platform::regular_file_stamp(cached)) {
      if (!gs)
        failure = "Ghostscript (gs) was not found";
      else if (auto converted = convert(run, *gs, ref->path, cached); !converted)
        failure = converted.error();
    }
    if (failure) {
      // Never the PDF of an earlier content of the same file.
      for (const std::string& name : names) remove_quietly(out / utf8_path(name));
      fail(ref->path, *failure);
      continue;
    }
    std::optional<std::string> unplaced;
    for (const std::string& name : names) {
      if (!real_folders(out, utf8_path(name).parent_path())) {
        unplaced = "its folder could not be made there";
      } else if (auto put = place(cached, out / utf8_path(name)); !put) {
        unplaced = put.error();
      }
    }
    if (unplaced)
      fail(ref->path, "its PDF could not be placed in _out: " + *unplaced);
    else
      ++placed;
  }
  // PDFs of contents the project no longer holds go.
  for (fs::directory_iterator it(cache, ec), end; !ec && it != end; it.increment(ec))
    if (!kept.contains(it->path().filename())) fs::remove(it->path(), ec);

  // The project's own configuration stays in charge.
  if (placed == 0 || own_cfg) return notes;
  const auto installed = installed_graphics_cfg(cache);
  if (!installed) {
    notes.push_back(
        "EPS figures were converted to PDF, but the installation's graphics.cfg was not found: "
        "only documents that load the epstopdf package use them.");
    return notes;
  }
  if (auto written = write_atomic(cfg, graphics_cfg_with_epstopdf(*installed)); !written)
    notes.push_back("EPS figures were converted to PDF, but " + written.error());
  return notes;
}

}  // namespace vellora
