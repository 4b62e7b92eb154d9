#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vellora {

// One project file: its project-relative "/"-separated path and the SHA-256 of its content.
struct FileRef {
  std::string path;
  std::string sha256;
};

// Decodes an array of {"path","sha256"} objects (or [path, sha256] pairs). The error describes the
// first element that does not fit. `repeated_keys` are where the text repeated a key (JSON
// Pointers, see JsonStreamParser) and `at` the list's own pointer: an element that gave "path" or
// "sha256" twice does not fit.
std::expected<std::vector<FileRef>, std::string> decode_file_refs(
    const json::value& value, const std::vector<std::string>& repeated_keys = {},
    std::string_view at = "");

// The first path that cannot take its place beside the others: one listed twice, or a file whose
// path is a folder of another ("a" beside "a/b.tex"). The error names it.
std::optional<std::string> conflicting_path(const std::vector<FileRef>& refs);

// Where the agent runs on Windows: the first path Windows could not hold faithfully (a forbidden
// character or device name, a trailing dot or space, two paths that differ only in letter case),
// as an error naming it. None elsewhere, where every valid path can be stored as it is.
std::optional<std::string> unstorable_path(const std::vector<FileRef>& refs);

}  // namespace vellora
