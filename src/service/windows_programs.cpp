#include "service/windows_programs.h"

#include <algorithm>

namespace vellora {

std::string run_value_data(std::string_view installed_path) {
  std::string path(installed_path);
  std::replace(path.begin(), path.end(), '/', '\\');
  return "\"" + path + "\" launch";
}

std::vector<std::string> reg_query_args() {
  return {"query", std::string(RUN_KEY), "/v", std::string(RUN_VALUE)};
}

bool run_value_listed(std::string_view reg_output, std::string_view installed_path) {
  // Lines such as "    VelloraAgent    REG_SZ    "C:\...\vellora-agent.exe" launch".
  const std::string data = run_value_data(installed_path);
  std::size_t start = 0;
  while (start < reg_output.size()) {
    std::size_t end = reg_output.find('\n', start);
    if (end == std::string_view::npos) end = reg_output.size();
    std::string_view line = reg_output.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.starts_with(RUN_VALUE) || !line.ends_with(data)) continue;
    line.remove_prefix(RUN_VALUE.size());
    line.remove_suffix(data.size());
    // What lies between is the type, surrounded by blanks.
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line == "REG_SZ") return true;
  }
  return false;
}

std::vector<std::string> reg_add_args(std::string_view installed_path) {
  return {"add", std::string(RUN_KEY),           "/v", std::string(RUN_VALUE), "/t", "REG_SZ",
          "/d",  run_value_data(installed_path), "/f"};
}

std::vector<std::string> reg_delete_args() {
  return {"delete", std::string(RUN_KEY), "/v", std::string(RUN_VALUE), "/f"};
}

}  // namespace vellora
