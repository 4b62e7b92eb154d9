#include "compile/preamble_format.h"

#include <algorithm>
#include <charconv>

#include "common/file.h"
#include "common/json.h"
#include "common/text.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// A line without its comment: TeX drops what follows a "%" that no backslash escapes.
std::string_view code_of(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;  // the escaped character, "\%" and "\\" included
      continue;
    }
    if (line[i] == '%') return line.substr(0, i);
  }
  return line;
}

// Where `\begin{document}` (spaces allowed before the brace, as TeX reads it) starts, if at all.
std::optional<std::size_t> begin_document_at(std::string_view code) {
  for (std::size_t at = code.find("\\begin"); at != std::string_view::npos;
       at = code.find("\\begin", at + 1)) {
    std::size_t i = at + 6;
    while (i < code.size() && (code[i] == ' ' || code[i] == '\t')) ++i;
    if (code.substr(i).starts_with("{document}")) return at;
  }
  return std::nullopt;
}

// Reasons a line of preamble code keeps it from being dumped, the document's beginning aside.
std::optional<std::string> code_problem(std::string_view code) {
  if (code.find("\\endofdump") != std::string_view::npos)
    return "it marks its own end of the format (\\endofdump)";
  if (code.find("filecontents") != std::string_view::npos)
    return "it writes a file while it runs (filecontents)";
  return std::nullopt;
}

}  // namespace

std::expected<MainPreamble, std::string> main_preamble(std::string_view source) {
  if (source.starts_with("%&")) return std::unexpected("its first line names a format");
  int line_number = 0;
  for (std::size_t start = 0; start < source.size();) {
    const std::size_t end = std::min(source.find('\n', start), source.size());
    const std::string_view line = source.substr(start, end - start);
    ++line_number;
    const std::string_view code = code_of(line);
    if (auto problem = code_problem(code)) return std::unexpected(*problem);
    if (const auto at = begin_document_at(code)) {
      if (!trim(code.substr(0, *at)).empty())
        return std::unexpected("\\begin{document} shares its line with other code");
      return MainPreamble{source.substr(0, start), line_number};
    }
    start = end + 1;
  }
  return std::unexpected("the main file has no line that begins the document");
}

std::optional<std::string> preamble_file_problem(std::string_view source) {
  for (std::string_view line : split_lines(source)) {
    const std::string_view code = code_of(line);
    if (auto problem = code_problem(code)) return problem;
    if (begin_document_at(code)) return "a file it reads begins the document";
  }
  return std::nullopt;
}

std::vector<fs::path> recorded_inputs(std::string_view fls) {
  fs::path pwd;
  std::vector<fs::path> inputs;
  for (std::string_view line : split_lines(fls)) {
    if (line.starts_with("PWD ")) {
      pwd = utf8_path(line.substr(4));
      continue;
    }
    if (!line.starts_with("INPUT ")) continue;
    fs::path path = utf8_path(line.substr(6));
    if (path.is_relative() && !pwd.empty()) path = pwd / path;
    path = path.lexically_normal();
    if (std::find(inputs.begin(), inputs.end(), path) == inputs.end())
      inputs.push_back(std::move(path));
  }
  return inputs;
}

std::string format_record_json(const FormatRecord& record) {
  json::array files;
  for (const auto& [path, sha] : record.files)
    files.push_back(json::array{path.c_str(), sha.c_str()});
  json::object object;
  object["engine"] = record.engine_id;
  object["main_file"] = record.main_file;
  object["preamble_sha256"] = record.preamble_sha256;
  object["begin_line"] = record.begin_line;
  object["project_paths_sha256"] = record.project_paths_sha256;
  object["format"] = record.format ? json::value(*record.format) : json::value(nullptr);
  object["reason"] = record.reason;
  object["files"] = std::move(files);
  return json::serialize(object);
}

std::optional<FormatRecord> parse_format_record(std::string_view text) {
  const auto parsed = parse_json(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object& object = parsed->get_object();
  const auto string_at = [&](const char* key) -> std::optional<std::string> {
    const auto* v = object.if_contains(key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return std::string(v->get_string());
  };
  FormatRecord record;
  const auto engine = string_at("engine"), main = string_at("main_file"),
             preamble = string_at("preamble_sha256"), paths = string_at("project_paths_sha256"),
             reason = string_at("reason");
  const auto* line = object.if_contains("begin_line");
  const auto* format = object.if_contains("format");
  const auto* files = object.if_contains("files");
  if (!engine || !main || !preamble || !paths || !reason || !line || !line->is_int64() || !format ||
      !(format->is_string() || format->is_null()) || !files || !files->is_array())
    return std::nullopt;
  record.engine_id = *engine;
  record.main_file = *main;
  record.preamble_sha256 = *preamble;
  record.project_paths_sha256 = *paths;
  record.reason = *reason;
  record.begin_line = static_cast<int>(line->get_int64());
  if (format->is_string()) record.format = std::string(format->get_string());
  for (const auto& entry : files->get_array()) {
    const auto* pair = entry.if_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string() || !(*pair)[1].is_string())
      return std::nullopt;
    record.files.emplace_back(std::string((*pair)[0].get_string()),
                              std::string((*pair)[1].get_string()));
  }
  return record;
}

std::optional<int> format_start_line(std::string_view log) {
  const std::string_view marker = "(mylatexformat)Info: start reading document";
  const auto at = log.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view on = "on input line ";
  const auto line_at = log.find(on, at + marker.size());
  if (line_at == std::string_view::npos) return std::nullopt;
  const char* first = log.data() + line_at + on.size();
  int line = 0;
  const auto [end, ec] = std::from_chars(first, log.data() + log.size(), line);
  if (ec != std::errc() || end == first) return std::nullopt;
  return line;
}

}  // namespace vellora
