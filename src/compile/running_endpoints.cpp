#include "compile/running_endpoints.h"

#include "compile/running.h"
#include "http/json_reply.h"
#include "project/names.h"

namespace vellora {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hex_digit(text[i + 1]);
      const int low = hex_digit(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> query_parameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name)
      return percent_decode(eq == std::string_view::npos ? std::string_view()
                                                         : pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

Reply progress_endpoint(std::string_view query, const AllowedOrigin& origin) {
  const auto project = query_parameter(query, "project");
  if (!project || !valid_project_id(*project)) return error_reply(400, origin, "invalid project");
  const auto progress = compile_progress(*project);
  if (!progress) return json_reply(200, origin, json::object{{"running", false}});
  json::object reply;
  reply["running"] = true;
  reply["phase"] = progress->phase;
  reply["pass"] = progress->pass;
  reply["tool"] = progress->tool;
  reply["package"] = progress->package ? json::value(*progress->package) : json::value(nullptr);
  reply["elapsed_ms"] = static_cast<std::uint64_t>(progress->elapsed.count());
  return json_reply(200, origin, std::move(reply));
}

Reply cancel_endpoint(const json::value& body, const AllowedOrigin& origin) {
  const json::object* object = body.if_object();
  const json::value* project = object ? object->if_contains("project") : nullptr;
  if (!project || !project->is_string() || !valid_project_id(project->get_string()))
    return error_reply(400, origin, "invalid project");
  const bool cancelled = cancel_compile(std::string(project->get_string()));
  return json_reply(200, origin, json::object{{"cancelled", cancelled}});
}

}  // namespace vellora
