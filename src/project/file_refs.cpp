#include "project/file_refs.h"

#include <string_view>
#include <unordered_set>

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

// The field of the list's element `index` that the text gave twice, if any.
std::optional<const char*> repeated_field(const std::vector<std::string>& repeated_keys,
                                          std::string_view at, std::size_t index) {
  if (repeated_keys.empty()) return std::nullopt;
  const std::string element = std::string(at) + "/" + std::to_string(index) + "/";
  for (const char* field : {"path", "sha256"})
    for (const std::string& pointer : repeated_keys)
      if (pointer.size() == element.size() + std::string_view(field).size() &&
          pointer.starts_with(element) && pointer.ends_with(field))
        return field;
  return std::nullopt;
}

}  // namespace

std::expected<std::vector<FileRef>, std::string> decode_file_refs(
    const json::value& value, const std::vector<std::string>& repeated_keys, std::string_view at) {
  const auto* array = value.if_array();
  if (array == nullptr)
    return std::unexpected("invalid type: " + describe_json(value) + ", expected a sequence");
  std::vector<FileRef> refs;
  refs.reserve(array->size());
  for (const auto& element : *array) {
    if (element.is_object())
      if (auto key = repeated_field(repeated_keys, at, refs.size()))
        return std::unexpected(std::string("duplicate field `") + *key + "`");
    auto ref = decode_file_ref(element);
    if (!ref) return std::unexpected(ref.error());
    refs.push_back(std::move(*ref));
  }
  return refs;
}

std::optional<std::string> conflicting_path(const std::vector<FileRef>& refs) {
  std::unordered_set<std::string_view> files;
  files.reserve(refs.size());
  for (const FileRef& ref : refs)
    if (!files.insert(ref.path).second) return "\"" + ref.path + "\" is listed twice";
  for (const FileRef& ref : refs) {
    const std::string_view path = ref.path;
    for (auto slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', slash + 1)) {
      const std::string_view folder = path.substr(0, slash);
      if (files.contains(folder))
        return "\"" + std::string(folder) + "\" is a file and also the folder of \"" + ref.path +
               "\"";
    }
  }
  return std::nullopt;
}

std::optional<std::string> unstorable_path(const std::vector<FileRef>& refs) {
  for (const FileRef& ref : refs)
    if (const auto long_name = over_long_segment(ref.path))
      return "\"" + ref.path + "\" has a name longer than the file system allows: \"" +
             std::string(*long_name) + "\"";
  if (!platform::on_windows()) return std::nullopt;
  std::vector<std::string> paths;
  paths.reserve(refs.size());
  for (const FileRef& ref : refs) paths.push_back(ref.path);
  return windows_paths_problem(paths);
}

}  // namespace vellora
