#include "compile/diagnostics.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <unordered_set>

#include "common/text.h"

namespace vellora {
namespace {

// Replies stay small whatever a document prints.
constexpr std::size_t MAX_DIAGNOSTICS = 1000;
constexpr std::size_t MAX_MESSAGE_CHARS = 1000;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<long> number_at(std::string_view text) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The number after the last occurrence of `marker`, as in "... on input line 12."
std::optional<long> number_after(std::string_view text, std::string_view marker) {
  const auto at = text.rfind(marker);
  if (at == std::string_view::npos) return std::nullopt;
  return number_at(text.substr(at + marker.size()));
}

std::string slashes(std::string_view path) {
  std::string text(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// Whether a word that follows "(" in a log names a file: something with an extension.
bool looks_like_file(std::string_view word) {
  const auto dot = word.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= word.size()) return false;
  const std::string_view extension = word.substr(dot + 1);
  if (extension.size() > 8 || extension.find('/') != std::string_view::npos) return false;
  return std::all_of(extension.begin(), extension.end(), is_ascii_alnum) && !is_digit(word.front());
}

class LogReader {
 public:
  LogReader(const ProjectPaths& paths) : paths_(paths) {}

  void add(Diagnostic d, std::optional<std::string_view> printed_file) {
    if (found_.size() >= MAX_DIAGNOSTICS) return;
    if (!printed_file) d.line.reset();  // a line of no known file says nothing
    if (printed_file) {
      d.file = paths_.resolve(*printed_file);
      if (!d.file) {
        // Outside the project (the TeX installation, the outputs): said in the message instead.
        d.message = std::string(*printed_file) +
                    (d.line ? ":" + std::to_string(*d.line) : std::string()) + ": " + d.message;
        d.line.reset();
      }
    }
    if (d.message.size() > MAX_MESSAGE_CHARS) d.message = first_chars(d.message, MAX_MESSAGE_CHARS);
    // Each once, found by a hash: a log may repeat one message on every line.
    std::string key = d.level + '\0' + d.file.value_or("\x01") + '\0' +
                      (d.line ? std::to_string(*d.line) : std::string()) + '\0' + d.message;
    if (seen_.insert(std::move(key)).second) found_.push_back(std::move(d));
  }

  // The innermost file opened and not yet closed; looked up in constant time however deep the
  // nesting of parentheses that are no file.
  std::optional<std::string_view> current_file() const {
    if (nesting_.empty() || nesting_.back().file < 0) return std::nullopt;
    return std::string_view(nesting_[static_cast<std::size_t>(nesting_.back().file)].name);
  }

  // Follows "(file" and ")" through a line of the log.
  void track_files(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == ')') {
        close();
      } else if (line[i] == '(') {
        std::size_t end = i + 1;
        while (end < line.size() && line[end] != ' ' && line[end] != '(' && line[end] != ')') ++end;
        const std::string_view word = line.substr(i + 1, end - i - 1);
        open(looks_like_file(word) ? word : std::string_view());
        i = end - 1;
      }
    }
  }

  // ConTeXt says which file it opens and closes: "open source     > level 2, ..., name 'x.tex'".
  bool track_context_sources(std::string_view line) {
    if (line.starts_with("close source") && line.find('>') != std::string_view::npos) {
      close();
      return true;
    }
    if (!line.starts_with("open source") || line.find('>') == std::string_view::npos) return false;
    const auto name = line.find("name '");
    std::string_view file = name == std::string_view::npos ? "" : line.substr(name + 6);
    open(file.substr(0, file.rfind('\'')));
    return true;
  }

  std::vector<Diagnostic> take() { return std::move(found_); }

 private:
  // One "(" of the log: the file it opened ("" for what is no file) and where the innermost file
  // at that depth is (-1: none).
  struct Level {
    std::string name;
    long file;
  };

  // Deeper levels than any real log has are only counted, so a log of parentheses costs no
  // memory; what they open counts as no file.
  static constexpr std::size_t MAX_NESTING = 4096;

  void open(std::string_view name) {
    if (nesting_.size() >= MAX_NESTING) {
      ++untracked_;
      return;
    }
    const long outer = nesting_.empty() ? -1 : nesting_.back().file;
    nesting_.push_back(
        {std::string(name), name.empty() ? outer : static_cast<long>(nesting_.size())});
  }
  void close() {
    if (untracked_ > 0)
      --untracked_;
    else if (!nesting_.empty())
      nesting_.pop_back();
  }

  const ProjectPaths& paths_;
  std::vector<Level> nesting_;
  std::size_t untracked_ = 0;
  std::vector<Diagnostic> found_;
  std::unordered_set<std::string> seen_;
};

// "path:line: message", as engines write errors with -file-line-error.
struct FileLineError {
  std::string_view file;
  long line;
  std::string_view message;
};

std::optional<FileLineError> file_line_error(std::string_view text) {
  for (std::size_t colon = text.find(':'); colon != std::string_view::npos;
       colon = text.find(':', colon + 1)) {
    std::size_t end = colon + 1;
    while (end < text.size() && is_digit(text[end])) ++end;
    if (end == colon + 1 || end + 1 >= text.size() || text[end] != ':' || text[end + 1] != ' ')
      continue;
    const std::string_view file = text.substr(0, colon);
    if (!looks_like_file(file.substr(file.rfind('/') + 1))) return std::nullopt;
    return FileLineError{file, *number_at(text.substr(colon + 1)), trim(text.substr(end + 2))};
  }
  return std::nullopt;
}

// The line number of an error: the "l.N" line that follows it.
std::optional<long> context_line(const std::vector<std::string_view>& lines, std::size_t from) {
  for (std::size_t i = from; i < lines.size() && i < from + 12; ++i)
    if (lines[i].starts_with("l.") && lines[i].size() > 2 && is_digit(lines[i][2]))
      return number_at(lines[i].substr(2));
  return std::nullopt;
}

bool is_warning_start(std::string_view line) {
  const auto at = line.find(" Warning: ");
  if (at == std::string_view::npos) return false;
  const std::string_view who = line.substr(0, at);
  return who == "LaTeX" || who == "LaTeX Font" || who.starts_with("Package ") ||
         who.starts_with("Class ") || who == "pdfTeX" || who.starts_with("LaTeX3");
}

}  // namespace

ProjectPaths::ProjectPaths(std::string work_dir, std::string main_dir,
                           const std::vector<std::string>& files)
    : work_dir_(slashes(work_dir)),
      main_dir_(std::move(main_dir)),
      files_(files.begin(), files.end()) {
  while (work_dir_.size() > 1 && work_dir_.ends_with('/')) work_dir_.pop_back();
}

std::optional<std::string> ProjectPaths::resolve(std::string_view printed) const {
  std::string path = slashes(trim(printed));
  if (path.starts_with(work_dir_ + "/")) path.erase(0, work_dir_.size() + 1);
  while (path.starts_with("./")) path.erase(0, 2);
  if (files_.contains(path)) return path;
  if (!main_dir_.empty() && files_.contains(main_dir_ + "/" + path)) return main_dir_ + "/" + path;
  return std::nullopt;
}

std::vector<Diagnostic> tex_log_diagnostics(std::string_view log, const ProjectPaths& paths,
                                            const platform::Cancellation* cancellation) {
  LogReader reader(paths);
  const auto lines = split_lines(log);
  bool source_context = false;  // the lines after "l.N" quote the document, not the log's nesting
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (cancellation != nullptr && i % 4096 == 0 && cancellation->cancelled()) break;
    const std::string_view line = lines[i];
    if (line.starts_with("l.") && line.size() > 2 && is_digit(line[2])) {
      source_context = true;
      continue;
    }
    if (source_context) {
      source_context = false;
      continue;
    }

    if (const auto error = file_line_error(line)) {
      if (!error->message.starts_with("==> Fatal error occurred"))
        reader.add({std::nullopt, error->line, "error", std::string(error->message)}, error->file);
      continue;
    }
    if (line.starts_with("! ")) {
      reader.add(
          {std::nullopt, context_line(lines, i + 1), "error", std::string(trim(line.substr(2)))},
          reader.current_file());
      continue;
    }
    // ConTeXt: "tex error       > tex error on line 2 in file chap/intro.tex: ! Undefined ..."
    if (const auto at = line.find("> tex error on line "); at != std::string_view::npos) {
      const std::string_view rest = line.substr(at + 20);
      const auto in_file = rest.find(" in file ");
      const auto message = rest.find(": ");
      if (in_file != std::string_view::npos && message != std::string_view::npos &&
          in_file < message) {
        std::string_view text = trim(rest.substr(message + 2));
        if (text.starts_with("! ")) text.remove_prefix(2);
        reader.add({std::nullopt, number_at(rest), "error", std::string(text)},
                   rest.substr(in_file + 9, message - in_file - 9));
      }
      continue;
    }
    if (is_warning_start(line)) {
      // Continuation lines of a package's or class's warning start with its name in parentheses.
      const std::string_view who = line.substr(0, line.find(" Warning: "));
      std::string text(trim(line.substr(who.size() + 10)));
      if (const auto space = who.find(' '); space != std::string_view::npos) {
        const std::string prefix = "(" + std::string(who.substr(space + 1)) + ")";
        // Read to their end, but kept only as far as a message is shown.
        while (i + 1 < lines.size() && lines[i + 1].starts_with(prefix)) {
          const std::string_view more = trim(lines[++i].substr(prefix.size()));
          if (text.size() <= MAX_MESSAGE_CHARS) text += " " + std::string(more);
        }
      }
      reader.add({std::nullopt, number_after(text, "on input line "), "warning",
                  std::string(who) + " Warning: " + text},
                 reader.current_file());
      continue;
    }
    if (line.starts_with("Overfull \\") || line.starts_with("Underfull \\")) {
      std::optional<long> at = number_after(line, " at lines ");
      if (!at) at = number_after(line, " at line ");
      reader.add({std::nullopt, at, "badbox", std::string(trim(line))}, reader.current_file());
      continue;
    }
    if (!reader.track_context_sources(line)) reader.track_files(line);
  }
  return reader.take();
}

std::vector<Diagnostic> bibliography_diagnostics(std::string_view blg, const ProjectPaths& paths) {
  LogReader reader(paths);
  for (const std::string_view raw : split_lines(blg)) {
    const std::string_view line = trim(raw);
    // BibTeX: "I was expecting a `,' or a `}'---line 5 of file refs.bib"
    if (const auto at = line.find("---line "); at != std::string_view::npos) {
      const std::string_view rest = line.substr(at + 8);
      const auto of = rest.find(" of file ");
      if (of != std::string_view::npos) {
        reader.add({std::nullopt, number_at(rest), "error", std::string(line.substr(0, at))},
                   rest.substr(of + 9));
        continue;
      }
    }
    if (line.starts_with("Warning--")) {
      reader.add({std::nullopt, std::nullopt, "warning", std::string(line.substr(9))},
                 std::nullopt);
    } else if (line.starts_with("I couldn't open ") || line.starts_with("I found no ")) {
      reader.add({std::nullopt, std::nullopt, "error", std::string(line)}, std::nullopt);
    } else if (const auto warn = line.find("> WARN - "); warn != std::string_view::npos) {
      // Biber: "[123] Biber.pm:345> WARN - ..."
      reader.add({std::nullopt, std::nullopt, "warning", std::string(line.substr(warn + 9))},
                 std::nullopt);
    } else if (const auto error = line.find("> ERROR - "); error != std::string_view::npos) {
      reader.add({std::nullopt, std::nullopt, "error", std::string(line.substr(error + 10))},
                 std::nullopt);
    }
  }
  return reader.take();
}

json::array diagnostics_json(const std::vector<Diagnostic>& diagnostics) {
  json::array list;
  for (const Diagnostic& d : diagnostics) {
    json::object o;
    o["file"] = d.file ? json::value(*d.file) : json::value(nullptr);
    o["line"] = d.line ? json::value(*d.line) : json::value(nullptr);
    o["level"] = d.level;
    o["message"] = d.message;
    list.push_back(std::move(o));
  }
  return list;
}

}  // namespace vellora
