#include "project/materialize.h"

#include <map>

#include "common/file.h"
#include "common/json.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/files.h"
#include "project/blob_store.h"
#include "project/names.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

using Manifest = std::map<std::string, std::string>;

Manifest read_manifest(const fs::path& path) {
  Manifest manifest;
  const auto text = read_file(path);
  if (!text) return manifest;
  const auto parsed = parse_json(*text);
  if (!parsed || !parsed->is_object()) return manifest;
  for (const auto& member : parsed->get_object()) {
    if (!member.value().is_string()) return {};
    manifest.emplace(std::string(member.key()), std::string(member.value().get_string()));
  }
  return manifest;
}

void write_manifest(const fs::path& path, const Manifest& manifest) {
  json::object object;
  for (const auto& [file, hash] : manifest) object[file] = hash;
  // Published by rename: a crash mid-write must not leave a manifest that vouches for files
  // that were never placed.
  write_atomic(path, json::serialize(object));
}

void place(const fs::path& target, const fs::path& blob) {
  std::error_code ec;
  fs::remove(target, ec);
  fs::create_hard_link(blob, target, ec);
  if (ec) fs::copy_file(blob, target, fs::copy_options::overwrite_existing, ec);
}

}  // namespace

fs::path work_dir_of(const std::string& project) {
  return cache_dir() / "work" / project;
}

bool is_latexmkrc_name(std::string_view path) {
  const std::string name = to_lower_ascii(last_segment(path));
  return name == "latexmkrc" || name.starts_with(".latexmkrc") || name.starts_with("latexmkrc.");
}

Workspace materialize(const std::string& project, const std::vector<FileRef>& files) {
  const fs::path work = work_dir_of(project);
  const fs::path out = work / "_out";
  const fs::path manifest_path = work / MANIFEST_NAME;
  const Manifest old = read_manifest(manifest_path);
  std::error_code ec;
  fs::create_directories(work, ec);

  Manifest current;
  for (const FileRef& file : files) {
    if (is_latexmkrc_name(file.path)) continue;
    const std::string hash = to_lower_ascii(file.sha256);
    const fs::path target = work / utf8_path(file.path);
    const fs::path relative_parent = utf8_path(file.path).parent_path();
    if (!relative_parent.empty()) {
      fs::create_directories(work / relative_parent, ec);
      fs::create_directories(out / relative_parent, ec);
    }
    const auto previous = old.find(file.path);
    const bool unchanged =
        previous != old.end() && previous->second == hash && metadata_readable(target);
    if (!unchanged) place(target, blobs_dir() / hash);
    current[file.path] = hash;
  }
  for (const auto& [path, hash] : old)
    if (!current.contains(path) && valid_relative_path(path))
      remove_quietly(work / utf8_path(path));
  write_manifest(manifest_path, current);
  fs::create_directories(out, ec);
  return {work, out};
}

}  // namespace vellora
