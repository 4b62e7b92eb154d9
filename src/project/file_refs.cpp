#include "project/file_refs.h"

#include "platform/env.h"
#include "project/names.h"

namespace vellora {
namespace {

std::expected<std::string, std::string> string_field(const json::value& v) {
  if (!v.is_string())
    return std::unexpected("invalid type: " + describe_json(v) + ", expected a string");
  return std::string(v.get_string());
}

std::expected<FileRef, std::string> decode_file_ref(const json::value& value) {
  if (const auto* object = value.if_object()) {
    FileRef ref;
    for (const char* key : {"path", "sha256"}) {
      const auto* field = object->if_contains(key);
      if (field == nullptr) return std::unexpected(std::string("missing field `") + key + "`");
      auto text = string_field(*field);
      if (!text) return std::unexpected(text.error());
      (key[0] == 'p' ? ref.path : ref.sha256) = std::move(*text);
    }
    return ref;
  }
  if (const auto* array = value.if_array()) {
    if (array->size() != 2)
      return std::unexpected("invalid length " + std::to_string(array->size()) +
                             ", expected struct FileRef with 2 elements");
    auto path = string_field((*array)[0]);
    if (!path) return std::unexpected(path.error());
    auto sha = string_field((*array)[1]);
    if (!sha) return std::unexpected(sha.error());
    return FileRef{std::move(*path), std::move(*sha)};
  }
  return std::unexpected("invalid type: " + describe_json(value) + ", expected struct FileRef");
}

}  // namespace

std::expected<std::vector<FileRef>, std::string> decode_file_refs(const json::value& value) {
  const auto* array = value.if_array();
  if (array == nullptr)
    return std::unexpected("invalid type: " + describe_json(value) + ", expected a sequence");
  std::vector<FileRef> refs;
  refs.reserve(array->size());
  for (const auto& element : *array) {
    auto ref = decode_file_ref(element);
    if (!ref) return std::unexpected(ref.error());
    refs.push_back(std::move(*ref));
  }
  return refs;
}

std::optional<std::string> unstorable_path(const std::vector<FileRef>& refs) {
  if (!platform::on_windows()) return std::nullopt;
  std::vector<std::string> paths;
  paths.reserve(refs.size());
  for (const FileRef& ref : refs) paths.push_back(ref.path);
  return windows_paths_problem(paths);
}

}  // namespace vellora
