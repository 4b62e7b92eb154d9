#include "compile/synctex_endpoint.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <set>

#include "common/gzip.h"
#include "compile/output_files.h"
#include "compile/synctex.h"
#include "http/json_reply.h"
#include "platform/links.h"
#include "project/materialize.h"
#include "project/names.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// A SyncTeX file holds far more text than the PDF; this bounds the time one request may take
// (the text is read in one streaming pass, so it never costs memory).
constexpr std::size_t MAX_SYNCTEX_TEXT = std::size_t{512} << 20;
// Longer lines are no SyncTeX records; they are read cut.
constexpr std::size_t MAX_SYNCTEX_LINE = 64 * 1024;
// Coordinates beyond this are on no PDF page.
constexpr double MAX_COORDINATE = 1e7;

// A number of the request within [low, high]; none for anything else.
std::optional<double> number(const json::object& object, const char* key, double low, double high) {
  const auto* v = object.if_contains(key);
  if (v == nullptr) return std::nullopt;
  double d = 0;
  if (v->is_int64())
    d = static_cast<double>(v->get_int64());
  else if (v->is_uint64())
    d = static_cast<double>(v->get_uint64());
  else if (v->is_double())
    d = v->get_double();
  else
    return std::nullopt;
  if (!std::isfinite(d) || d < low || d > high) return std::nullopt;
  return d;
}

// One SyncTeX query per project at a time: each reads the whole file.
class QueryGuard {
 public:
  static std::optional<QueryGuard> acquire(const std::string& project) {
    std::lock_guard lock(mutex());
    if (!busy().insert(project).second) return std::nullopt;
    return QueryGuard(project);
  }
  QueryGuard(QueryGuard&& other) noexcept : project_(std::move(other.project_)) {
    other.project_.reset();
  }
  QueryGuard& operator=(QueryGuard&&) = delete;
  ~QueryGuard() {
    if (!project_) return;
    std::lock_guard lock(mutex());
    busy().erase(*project_);
  }

 private:
  explicit QueryGuard(std::string project) : project_(std::move(project)) {}
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::set<std::string>& busy() {
    static std::set<std::string> projects;
    return projects;
  }
  std::optional<std::string> project_;
};

// The newest "<job>.synctex.gz" among the outputs: the job is the last compile's main file.
std::optional<fs::path> newest_synctex(const fs::path& out) {
  std::optional<fs::path> newest;
  fs::file_time_type newest_time;
  std::error_code ec;
  for (fs::directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (!path.filename().string().ends_with(".synctex.gz") || platform::is_link(path)) continue;
    std::error_code time_error;
    const auto time = fs::last_write_time(path, time_error);
    if (!time_error && (!newest || time > newest_time)) {
      newest = path;
      newest_time = time;
    }
  }
  return newest;
}

}  // namespace

Reply synctex_endpoint(const json::value& body, const AllowedOrigin& origin) {
  const json::object* object = body.if_object();
  const json::value* project_value = object ? object->if_contains("project") : nullptr;
  const std::string project =
      project_value && project_value->is_string() ? std::string(project_value->get_string()) : "";
  if (!valid_project_id(project)) return error_reply(400, origin, "invalid project");
  const json::value* forward = object->if_contains("forward");
  const json::value* reverse = object->if_contains("reverse");
  if ((forward == nullptr) == (reverse == nullptr) ||
      !(forward ? forward->is_object() : reverse->is_object()))
    return error_reply(400, origin, "give either \"forward\" or \"reverse\" as an object");

  // What is asked is checked before any file is read.
  const json::object* f = forward ? &forward->get_object() : nullptr;
  const json::value* path = f ? f->if_contains("file") : nullptr;
  const auto line = f ? number(*f, "line", 1, std::numeric_limits<int>::max()) : std::nullopt;
  if (f && (path == nullptr || !path->is_string() || !line))
    return error_reply(400, origin,
                       "forward needs \"file\" (a project path) and \"line\" (from 1 to " +
                           std::to_string(std::numeric_limits<int>::max()) + ")");
  const json::object* r = reverse ? &reverse->get_object() : nullptr;
  const auto page = r ? number(*r, "page", 1, std::numeric_limits<int>::max()) : std::nullopt;
  const auto x = r ? number(*r, "x", -MAX_COORDINATE, MAX_COORDINATE) : std::nullopt;
  const auto y = r ? number(*r, "y", -MAX_COORDINATE, MAX_COORDINATE) : std::nullopt;
  if (r && (!page || !x || !y))
    return error_reply(400, origin,
                       "reverse needs \"page\" (from 1), \"x\" and \"y\" (PDF points, at most 1e7 "
                       "from the corner)");

  const auto guard = QueryGuard::acquire(project);
  if (!guard)
    return error_reply(409, origin, "a SyncTeX query for this project is already under way");
  const fs::path work = work_dir_of(project);
  const auto file = platform::is_link(work) ? std::nullopt : newest_synctex(work / "_out");
  if (!file) return error_reply(404, origin, "no SyncTeX file for this project: compile it first");
  std::error_code type_error;
  if (platform::is_link(*file) || !fs::is_regular_file(*file, type_error))
    return error_reply(404, origin, "the SyncTeX file cannot be read");
  std::ifstream in(*file, std::ios::binary);
  if (!in) return error_reply(404, origin, "the SyncTeX file cannot be read");
  const SynctexLines lines = [&](const SynctexLine& each) -> std::expected<void, std::string> {
    in.clear();
    in.seekg(0);
    auto read = gunzip_lines(in, MAX_SYNCTEX_TEXT, MAX_SYNCTEX_LINE, each);
    if (!read) return std::unexpected("the SyncTeX file cannot be read: " + read.error());
    return {};
  };
  // TeX names its inputs by the real path of its working directory.
  std::error_code ec;
  const fs::path real_work = fs::weakly_canonical(work, ec);
  const ProjectPaths paths((ec ? work : real_work).generic_string(), "",
                           placed_project_files(project));

  const auto failed = [&](const std::string& error) {
    return error_reply(error.starts_with("nothing") || error.starts_with("the document has no") ||
                               error.starts_with("that place")
                           ? 404
                           : 500,
                       origin, error);
  };
  if (forward) {
    const auto box =
        synctex_forward(lines, paths, std::string(path->get_string()), static_cast<long>(*line));
    if (!box) return failed(box.error());
    return json_reply(200, origin,
                      json::object{{"page", box->page},
                                   {"x", box->x},
                                   {"y", box->y},
                                   {"width", box->width},
                                   {"height", box->height}});
  }
  const auto place = synctex_reverse(lines, paths, static_cast<int>(*page), *x, *y);
  if (!place) return failed(place.error());
  return json_reply(
      200, origin,
      json::object{{"file", place->file},
                   {"line", place->line},
                   {"column", place->column ? json::value(*place->column) : json::value(nullptr)}});
}

}  // namespace vellora
