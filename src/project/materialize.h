#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "project/file_refs.h"

namespace vellora {

struct Workspace {
  std::filesystem::path work_dir;  // <cache>/work/<project>
  std::filesystem::path out_dir;   // <work>/_out
};

inline constexpr const char* MANIFEST_NAME = ".vellora-manifest.json";

std::filesystem::path work_dir_of(const std::string& project);

// A project's latexmk configuration files never reach the work directory: they could run code.
bool is_latexmkrc_name(std::string_view path);

// Brings the work directory in line with the file list: unchanged files stay untouched (with the
// tools' outputs beside them), changed ones are re-linked from the store, files that left the
// project are deleted. Never fails; a file that could not be placed is simply absent.
// Preconditions: valid id, valid paths, every blob present, no other compile of the project.
Workspace materialize(const std::string& project, const std::vector<FileRef>& files);

}  // namespace vellora
