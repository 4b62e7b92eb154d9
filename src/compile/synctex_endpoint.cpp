#include "compile/synctex_endpoint.h"

#include <optional>

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

// A SyncTeX file holds far more text than the PDF; this bounds what one request may unpack.
constexpr std::size_t MAX_SYNCTEX_TEXT = std::size_t{512} << 20;

std::optional<double> number(const json::object& object, const char* key) {
  const auto* v = object.if_contains(key);
  if (v == nullptr) return std::nullopt;
  if (v->is_int64()) return static_cast<double>(v->get_int64());
  if (v->is_uint64()) return static_cast<double>(v->get_uint64());
  if (v->is_double()) return v->get_double();
  return std::nullopt;
}

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

  const fs::path work = work_dir_of(project);
  const auto file = platform::is_link(work) ? std::nullopt : newest_synctex(work / "_out");
  if (!file) return error_reply(404, origin, "no SyncTeX file for this project: compile it first");
  const OutputFile packed = read_output_file(*file);
  if (!packed.bytes) return error_reply(404, origin, "the SyncTeX file cannot be read");
  const auto text = gunzip(*packed.bytes, MAX_SYNCTEX_TEXT);
  if (!text) return error_reply(500, origin, "the SyncTeX file cannot be read: " + text.error());
  // TeX names its inputs by the real path of its working directory.
  std::error_code ec;
  const fs::path real_work = fs::weakly_canonical(work, ec);
  const ProjectPaths paths((ec ? work : real_work).generic_string(), "", placed_project_files(project));
  const auto index = SynctexIndex::parse(*text, paths);
  if (!index) return error_reply(500, origin, index.error());

  if (forward) {
    const json::object& f = forward->get_object();
    const json::value* path = f.if_contains("file");
    const auto line = number(f, "line");
    if (path == nullptr || !path->is_string() || !line || *line < 1)
      return error_reply(400, origin, "forward needs \"file\" (a project path) and \"line\" (from 1)");
    const auto box = index->forward(std::string(path->get_string()), static_cast<long>(*line));
    if (!box) return error_reply(404, origin, box.error());
    return json_reply(200, origin,
                      json::object{{"page", box->page}, {"x", box->x}, {"y", box->y},
                                   {"width", box->width}, {"height", box->height}});
  }
  const json::object& r = reverse->get_object();
  const auto page = number(r, "page");
  const auto x = number(r, "x");
  const auto y = number(r, "y");
  if (!page || !x || !y || *page < 1)
    return error_reply(400, origin, "reverse needs \"page\" (from 1), \"x\" and \"y\" (PDF points)");
  const auto place = index->reverse(static_cast<int>(*page), *x, *y);
  if (!place) return error_reply(404, origin, place.error());
  return json_reply(200, origin,
                    json::object{{"file", place->file},
                                 {"line", place->line},
                                 {"column", place->column ? json::value(*place->column)
                                                          : json::value(nullptr)}});
}

}  // namespace vellora
