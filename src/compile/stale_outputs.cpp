#include "compile/stale_outputs.h"

#include <vector>

#include "platform/env.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

// The file of a "file:line: message" line, or empty.
std::string_view located_file(std::string_view line) {
  for (auto colon = line.find(':'); colon != std::string_view::npos;
       colon = line.find(':', colon + 1)) {
    std::size_t end = colon + 1;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    if (end > colon + 1 && end + 1 < line.size() && line[end] == ':' && line[end + 1] == ' ')
      return line.substr(0, colon);
  }
  return {};
}

bool inside(std::string_view file, std::string_view folder) {
  return !folder.empty() && file.size() > folder.size() + 1 && file.starts_with(folder) &&
         (file[folder.size()] == '/' || file[folder.size()] == '\\');
}

}  // namespace

bool error_in_output_folder(std::string_view output, const fs::path& out_dir) {
  const std::string shown = platform::path_text(out_dir);
  const std::string generic = out_dir.generic_string();
  const std::string name = out_dir.filename().string();
  while (!output.empty()) {
    const auto newline = output.find('\n');
    std::string_view line = output.substr(0, newline);
    output = newline == std::string_view::npos ? std::string_view() : output.substr(newline + 1);
    std::string_view file = located_file(line);
    while (file.starts_with("./") || file.starts_with(".\\")) file.remove_prefix(2);
    if (!file.empty() && (inside(file, shown) || inside(file, generic) || inside(file, name)))
      return true;
  }
  return false;
}

void remove_auxiliary_files(const fs::path& out_dir, std::string_view job) {
  const fs::path pdf = out_dir / (std::string(job) + ".pdf");
  std::error_code ec;
  std::vector<fs::path> doomed;
  for (fs::recursive_directory_iterator it(out_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto type = it->symlink_status(ec).type();
    if (type != fs::file_type::directory && it->path() != pdf) doomed.push_back(it->path());
  }
  for (const fs::path& path : doomed) fs::remove(path, ec);
}

}  // namespace vellora
