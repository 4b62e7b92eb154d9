#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "project/file_refs.h"

namespace vellora {

struct Workspace {
  std::filesystem::path work_dir;  // <cache>/work/<project>
  std::filesystem::path out_dir;   // <work>/_out
};

inline constexpr const char* MANIFEST_NAME = ".vellora-manifest.json";
// What each placed file was when it was placed, beside the manifest.
inline constexpr const char* STAMPS_NAME = ".vellora-manifest.stamps.json";

std::filesystem::path work_dir_of(const std::string& project);

// A project's latexmk configuration files never reach the work directory: they could run code.
bool is_latexmkrc_name(std::string_view path);

// The project paths the last materialization placed (from the work directory's manifest).
std::vector<std::string> placed_project_files(const std::string& project);

// Brings the work directory in line with the file list: unchanged files stay untouched (with the
// tools' outputs beside them), changed ones are placed from the store, files that left the
// project are deleted. Every placed file is a copy of its own (a clone where the file system
// shares blocks), never a link to its blob: what a run does to it never reaches the store.
//
// Nothing below the work directory is followed if it is a link: a link where a folder or file
// belongs is replaced, and deleting a stale path deletes a link, never its target.
//
// The manifest records only what was placed. The error names the first file that could not be
// placed (after a few tries); the rest of the work directory is then as far as it got.
// Preconditions: valid id, valid paths, every blob present, no other compile of the project.
std::expected<Workspace, std::string> materialize(const std::string& project,
                                                  const std::vector<FileRef>& files);

// TeX names the auxiliary file of an included file by its path from the main file's folder and
// writes it at that path below the output folder: for a main file in a folder, the output folder
// mirrors the folders below that folder as well.
void mirror_folders_below(const Workspace& workspace, const std::vector<FileRef>& files,
                          std::string_view main_folder);

}  // namespace vellora
