#include "compile/index_tools.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/file.h"
#include "common/text.h"
#include "compile/output_files.h"
#include "platform/env.h"
#include "platform/process.h"
#include "toolchain/limits.h"
#include "toolchain/search.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr std::uintmax_t INDEX_FILE_LIMIT = std::uintmax_t{64} << 20;

// Words the way TeX Live's restricted shell escape reads a command: separated by blanks, a
// double-quoted stretch kept together without its quotes. None when a quote is left open.
std::optional<std::vector<std::string>> command_words(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : command) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) return std::nullopt;
  if (in_word) words.push_back(std::move(word));
  return words;
}

// A file name makeindex may be given: relative, below the folder it runs in, no dot file, nothing
// a shell or Windows would read specially.
bool safe_file_name(std::string_view name) {
  if (name.empty() || name.front() == '-' || name.front() == '/') return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::string_view("\\:'`\"$*?<>|;&%").find(c) != std::string_view::npos)
      return false;
  }
  for (std::string_view segment : split(name, '/'))
    if (segment.empty() || segment.front() == '.') return false;
  return true;
}

bool page_start(std::string_view value) {
  if (value == "any" || value == "odd" || value == "even") return true;
  return !value.empty() && value.size() < 10 &&
         value.find_first_not_of("0123456789") == std::string_view::npos;
}

// The arguments after "makeindex", when every one is an option makeindex knows and that reads or
// writes nothing but the named files, or such a file.
std::optional<std::vector<std::string>> makeindex_arguments(std::string_view command) {
  auto words = command_words(command);
  if (!words || words->empty() || (*words)[0] != "makeindex") return std::nullopt;
  std::vector<std::string> args(words->begin() + 1, words->end());
  bool input = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-c" || arg == "-g" || arg == "-l" || arg == "-q" || arg == "-r" || arg == "-L" ||
        arg == "-T")
      continue;
    if (arg == "-s" || arg == "-t" || arg == "-o" || arg == "-p") {
      if (++i == args.size()) return std::nullopt;
      const bool ok = arg == "-p" ? page_start(args[i]) : safe_file_name(args[i]);
      if (!ok) return std::nullopt;
      continue;
    }
    if (!safe_file_name(arg)) return std::nullopt;
    input = true;
  }
  if (!input) return std::nullopt;
  return args;
}

// The text between `open` and the last `close` after it on the line, if both are there.
std::optional<std::string_view> between(std::string_view line, std::string_view open,
                                        std::string_view close) {
  const auto start = line.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const std::string_view rest = line.substr(start + open.size());
  const auto end = rest.rfind(close);
  if (end == std::string_view::npos) return std::nullopt;
  return rest.substr(0, end);
}

// The index file makeindex writes: -o, or the first input with ".ind" in place of ".idx".
std::string output_of(const std::vector<std::string>& args) {
  std::string first;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") return args[i + 1];
    if (args[i] == "-s" || args[i] == "-t" || args[i] == "-p") {
      ++i;
      continue;
    }
    if (!args[i].starts_with("-") && first.empty()) first = args[i];
  }
  const auto slash = first.rfind('/');
  const auto dot = first.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) first.erase(dot);
  return first + ".ind";
}

std::string last_line(std::string_view text) {
  const auto lines = split_lines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (!trim(*it).empty()) return first_chars(trim(*it), 200);
  return {};
}

// INDEXSTYLE for makeindex in the output folder: that folder (styles TeX wrote, like glossaries'
// .ist), the main file's folder, the work directory, then the agent's own value or the default.
std::string style_path(const EngineRun& run) {
  const std::string separator(1, platform::path_list_separator());
  std::string value = "." + separator;
  if (const std::string folder = parent_of(run.main_file); !folder.empty())
    value += platform::path_text(run.work_dir / utf8_path(folder)) + separator;
  value += platform::path_text(run.work_dir) + separator;
  if (const auto own = platform::get_env("INDEXSTYLE"); own && own->valid_unicode)
    value += own->text;
  return value;
}

}  // namespace

std::vector<std::vector<std::string>> requested_makeindex_runs(std::string_view log) {
  std::vector<std::vector<std::string>> runs;
  for (std::string_view line : split_lines(log)) {
    std::optional<std::string_view> command;
    if (line.find(")...disabled") != std::string_view::npos)
      command = between(line, "runsystem(", ")...disabled");
    else if (line.starts_with("(imakeidx)"))
      command = between(line, "`", "'");
    if (!command) continue;
    auto args = makeindex_arguments(trim(*command));
    if (!args) continue;
    if (std::find(runs.begin(), runs.end(), *args) == runs.end()) runs.push_back(std::move(*args));
  }
  return runs;
}

IndexRound build_requested_indexes(const EngineRun& run, std::string_view log) {
  IndexRound round;
  // latexmk's runs alone: the other engines' logs hold no such requests.
  if (run.engine_id == "agent-tectonic" || run.engine_id == "agent-context") return round;
  const auto runs = requested_makeindex_runs(log);
  if (runs.empty()) return round;
  const auto makeindex = find_program("makeindex");
  for (const auto& args : runs) {
    const std::string shown = "makeindex " + join(args, " ");
    if (!makeindex) {
      round.notes.push_back("The document asked for `" + shown + "', but makeindex was not found.");
      continue;
    }
    const fs::path output = run.out_dir / utf8_path(output_of(args));
    const auto before = read_output_file(output, INDEX_FILE_LIMIT).bytes;
    platform::Command command = engine_command(run);
    command.program = *makeindex;
    command.args = args;
    command.cwd = run.out_dir;
    command.capture_output = true;
    command.env.emplace_back("INDEXSTYLE", style_path(run));
    // Paranoid reading would refuse a style found by its absolute name in the work directory.
    // The names makeindex is given are already relative ones without "..", and it runs confined.
    for (auto& [name, value] : command.env)
      if (name == "openin_any") value = "r";
    platform::RunOptions options;
    options.time_limit = std::chrono::seconds(run_limit_secs());
    options.output_limit = std::size_t{64} << 10;
    const auto result = platform::run(command, options);
    if (!result || result->cancelled) {
      if (!result) round.notes.push_back("`" + shown + "' could not be started: " + result.error());
      continue;
    }
    if (!result->success()) {
      const std::string why = last_line(utf8_lossy(result->out + "\n" + result->err));
      round.notes.push_back("`" + shown + "' failed" +
                            (result->timed_out ? std::string(" (time limit)")
                             : why.empty()     ? std::string()
                                               : ": " + why) +
                            ".");
      continue;
    }
    if (read_output_file(output, INDEX_FILE_LIMIT).bytes != before) round.changed = true;
  }
  return round;
}

}  // namespace vellora
