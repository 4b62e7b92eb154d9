#pragma once

#include <expected>
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

}  // namespace vellora
