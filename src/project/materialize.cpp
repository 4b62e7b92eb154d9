#include "project/materialize.h"

#include <chrono>
#include <map>
#include <thread>

#include "common/file.h"
#include "common/json.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/links.h"
#include "platform/long_path.h"
#include "project/blob_store.h"
#include "project/names.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

using Manifest = std::map<std::string, std::string>;

constexpr int PLACE_TRIES = 5;
constexpr auto RETRY_PAUSE = std::chrono::milliseconds(100);

Manifest read_manifest(const fs::path& path) {
  Manifest manifest;
  if (platform::is_link(path)) return manifest;
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

// Published by rename, so a crash mid-write never leaves a manifest that vouches for files that
// were never placed. When it cannot be saved, the old one must not stay either: it would vouch for
// contents replaced since. Without a manifest the next compile places every file again.
std::expected<void, std::string> write_manifest(const fs::path& path, const Manifest& manifest) {
  json::object object;
  for (const auto& [file, hash] : manifest) object[file] = hash;
  auto written = write_atomic(path, json::serialize(object));
  if (written) return {};
  remove_quietly(path);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return {};
  return written;
}

// Makes `path` a real directory: a link there is removed (never followed), anything else that is
// not a directory is removed if it can be.
bool make_real_dir(const fs::path& path) {
  std::error_code ec;
  if (platform::is_link(path)) {
    if (!platform::remove_link(path)) return false;
  } else if (fs::is_directory(path, ec)) {
    return true;
  } else if (fs::exists(fs::symlink_status(path, ec))) {
    fs::remove(path, ec);
  }
  fs::create_directory(path, ec);
  return fs::is_directory(path, ec) && !platform::is_link(path);
}

// Creates base/relative folder by folder, none of them a link.
bool make_real_dirs(const fs::path& base, const fs::path& relative) {
  fs::path current = base;
  for (const auto& part : relative) {
    current /= part;
    if (!make_real_dir(current)) return false;
  }
  return true;
}

// Deletes a stale project file. A link on the way is removed itself and ends the walk: what it
// points to is never touched. True when nothing of the path is left.
bool remove_stale(const fs::path& work, const std::string& path) {
  const fs::path relative = utf8_path(path);
  fs::path current = work;
  std::error_code ec;
  for (auto it = relative.begin(); it != relative.end(); ++it) {
    current /= *it;
    if (platform::is_link(current)) return platform::remove_link(current);
    if (std::next(it) == relative.end()) break;
    if (!fs::is_directory(current, ec)) return true;
  }
  fs::remove(current, ec);
  return !fs::exists(fs::symlink_status(current, ec));
}

bool is_tool_output_name(std::string_view path, std::string_view job) {
  if (job.empty()) return false;
  const std::string name = to_lower_ascii(last_segment(path));
  const std::string stem = to_lower_ascii(job);
  return name.size() > stem.size() && name.starts_with(stem) &&
         (name[stem.size()] == '.' || name[stem.size()] == '-');
}

bool still_placed(const fs::path& target, const fs::path& blob, bool linked) {
  if (platform::is_link(target)) return false;
  std::error_code ec;
  if (!fs::is_regular_file(target, ec)) return false;
  const bool shares_blob = fs::equivalent(target, blob, ec);
  if (linked) return shares_blob;
  // A copy must not be a link to the blob left by an earlier placement: tools write to it.
  if (shares_blob) return false;
  const auto size = fs::file_size(target, ec);
  return !ec && size == fs::file_size(blob, ec) && !ec;
}

// One attempt; the system's reason when it failed.
std::optional<std::string> place_once(const fs::path& target, const fs::path& blob, bool link) {
  std::error_code ec;
  if (platform::is_link(target)) {
    if (!platform::remove_link(target)) return "a link is in its place and cannot be removed";
  } else {
    fs::remove(target, ec);
    if (ec) return ec.message();
  }
  if (link) {
    fs::create_hard_link(blob, target, ec);
    if (!ec) return std::nullopt;
  }
  fs::copy_file(blob, target, fs::copy_options::overwrite_existing, ec);
  if (ec) return ec.message();
  // The copy is the project's own: a tool may write to it without reaching the store.
  fs::permissions(target, fs::perms::owner_write, fs::perm_options::add, ec);
  return std::nullopt;
}

std::optional<std::string> place(const fs::path& target, const fs::path& blob, bool link) {
  std::optional<std::string> error;
  for (int attempt = 0; attempt < PLACE_TRIES; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(RETRY_PAUSE);
    error = place_once(target, blob, link);
    if (!error) return std::nullopt;
  }
  return error;
}

}  // namespace

fs::path work_dir_of(const std::string& project) {
  return cache_dir() / "work" / project;
}

bool is_latexmkrc_name(std::string_view path) {
  const std::string name = to_lower_ascii(last_segment(path));
  return name == "latexmkrc" || name.starts_with(".latexmkrc") || name.starts_with("latexmkrc.");
}

std::expected<Workspace, std::string> materialize(const std::string& project,
                                                  const std::vector<FileRef>& files,
                                                  std::string_view job) {
  const fs::path plain_work = work_dir_of(project);
  // Project paths may be longer than the old Windows limit.
  const fs::path work = platform::long_path(plain_work);
  const fs::path out = work / "_out";
  const fs::path manifest_path = work / MANIFEST_NAME;
  create_private_dirs(plain_work.parent_path());
  if (!make_real_dir(work))
    return std::unexpected("could not create the work directory " +
                           platform::path_text(plain_work));
  const Manifest old = read_manifest(manifest_path);

  Manifest wanted;
  for (const FileRef& file : files)
    if (!is_latexmkrc_name(file.path)) wanted[file.path] = to_lower_ascii(file.sha256);

  // Stale files go first, so that a file that became a folder makes room for it. One that could
  // not be deleted stays in the manifest and is tried again next time.
  Manifest placed;
  for (const auto& [path, hash] : old) {
    if (wanted.contains(path) || !valid_relative_path(path) || is_reserved_project_path(path))
      continue;
    if (!remove_stale(work, path)) placed[path] = hash;
  }

  const bool links_protected = platform::read_only_files_protected();
  std::optional<std::string> failure;
  if (!make_real_dir(out)) failure = "could not create the output folder _out";
  for (const FileRef& file : files) {
    if (failure) break;
    const auto entry = wanted.find(file.path);
    if (entry == wanted.end() || placed.contains(file.path)) continue;
    const std::string& hash = entry->second;
    const fs::path relative = utf8_path(file.path);
    const fs::path target = work / relative;
    const fs::path blob = blobs_dir() / hash;
    const bool link = links_protected && !is_tool_output_name(file.path, job);
    if (!make_real_dirs(work, relative.parent_path())) {
      failure = "could not place the project file \"" + file.path +
                "\": its folder cannot be created in the work directory";
      break;
    }
    make_real_dirs(out, relative.parent_path());
    const auto previous = old.find(file.path);
    const bool unchanged =
        previous != old.end() && previous->second == hash && still_placed(target, blob, link);
    if (!unchanged) {
      if (auto error = place(target, blob, link)) {
        failure = "could not place the project file \"" + file.path +
                  "\" in the work directory: " + *error;
        break;
      }
    }
    placed[file.path] = hash;
  }
  if (auto saved = write_manifest(manifest_path, placed); !saved && !failure)
    failure = saved.error();
  if (failure) return std::unexpected(*failure + "; nothing was compiled");
  // The engine gets the plain paths it can print and pass on.
  return Workspace{plain_work, plain_work / "_out"};
}

}  // namespace vellora
