#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"

namespace vellora {

// One project file: its project-relative "/"-separated path and the SHA-256 of its content.
struct FileRef {
  std::string path;
  std::string sha256;
};

// Decodes an array of {"path","sha256"} objects (or [path, sha256] pairs). The error describes the
// first element that does not fit.
std::expected<std::vector<FileRef>, std::string> decode_file_refs(const json::value& value);

// Where the agent runs on Windows: the first path Windows could not hold faithfully (a forbidden
// character or device name, a trailing dot or space, two paths that differ only in letter case),
// as an error naming it. None elsewhere, where every valid path can be stored as it is.
std::optional<std::string> unstorable_path(const std::vector<FileRef>& refs);

}  // namespace vellora
