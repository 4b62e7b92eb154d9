#pragma once

#include <filesystem>
#include <string_view>

namespace vellora {

// Whether a run's output reports an error ("file:line: message") located in a file of the output
// folder, as when an .aux file written by an earlier version of the document is read back.
// `out_dir` is the output folder as the tools were given it.
bool error_in_output_folder(std::string_view output, const std::filesystem::path& out_dir);

// Deletes what earlier runs left in the output folder, all but the job's PDF (and the folders,
// which mirror the project's). Links are deleted themselves, never followed.
void remove_auxiliary_files(const std::filesystem::path& out_dir, std::string_view job);

}  // namespace vellora
