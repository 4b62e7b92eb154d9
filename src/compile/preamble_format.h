#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellora {

// A preamble kept as a format: TeX Live's mylatexformat runs the main file's preamble once and
// dumps the state it reaches; a run started from that format skips the preamble's lines (still
// counting them, so line numbers and SyncTeX stay those of the file) and goes on from
// \begin{document}. The pure rules of it live here; preamble_cache keeps the formats.

// Where the main file's preamble ends.
struct MainPreamble {
  std::string_view text;  // the bytes before the line that begins the document
  int begin_line = 0;     // that line, from 1
};

// The main file's preamble, or why it cannot be kept: the document must begin on a line of its
// own, with no \endofdump (mylatexformat's own end marker), no file written while the preamble
// runs (a format would only open it later) and no format named on the first line.
std::expected<MainPreamble, std::string> main_preamble(std::string_view source);

// Why a file the preamble read would make a format differ from the preamble it came from (the
// document begun inside it, a file written, mylatexformat's end marker); none when it would not.
std::optional<std::string> preamble_file_problem(std::string_view source);

// The files a run read, from its recorder file (.fls): its INPUT lines, each once, in order,
// relative ones taken from the run's working directory (its PWD line).
std::vector<std::filesystem::path> recorded_inputs(std::string_view fls);

// What a format was made from, kept beside it: it is used only while all of this still holds.
struct FormatRecord {
  std::string engine_id;  // "agent-pdflatex", ...
  std::string main_file;
  std::string preamble_sha256;
  int begin_line = 0;
  std::string project_paths_sha256;  // which files the project holds (a new one may be read)
  // The format's file name in the project's folder; none: the preamble cannot be dumped.
  std::optional<std::string> format;
  std::string reason;  // why it cannot
  // The engine's program (which stands for its version: a format is read only by the program
  // that made it), then every file the dump read but the main file, by path, with its content's
  // SHA-256.
  std::vector<std::pair<std::string, std::string>> files;
};

std::string format_record_json(const FormatRecord& record);
// None when the text is not a record.
std::optional<FormatRecord> parse_format_record(std::string_view text);

// The line of the log's "start reading document" note of a run from a format, none without one.
std::optional<int> format_start_line(std::string_view log);

}  // namespace vellora
