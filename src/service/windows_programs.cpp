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

std::vector<std::string> reg_add_args(std::string_view installed_path) {
  return {"add", std::string(RUN_KEY),           "/v", std::string(RUN_VALUE), "/t", "REG_SZ",
          "/d",  run_value_data(installed_path), "/f"};
}

std::vector<std::string> reg_delete_args() {
  return {"delete", std::string(RUN_KEY), "/v", std::string(RUN_VALUE), "/f"};
}

std::vector<std::string> taskkill_image_args(std::string_view image, std::uint64_t own_pid) {
  return {"/F", "/IM", std::string(image), "/FI", "PID ne " + std::to_string(own_pid)};
}

}  // namespace vellora
