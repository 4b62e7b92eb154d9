#include "project/materialize.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>
#include <type_traits>
#include <unordered_set>

#include "common/file.h"
#include "common/json.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "platform/env.h"
#include "platform/file_stamp.h"
#include "platform/files.h"
#include "platform/links.h"
#include "platform/long_path.h"
#include "project/blob_store.h"
#include "project/names.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr int PLACE_TRIES = 5;
constexpr auto RETRY_PAUSE = std::chrono::milliseconds(100);

// The manifest maps each placed path to its blob's identifier, as other tools may read it. Beside
// it, the stamps file records what each placed file was when it was placed:
// "<sha256> <device> <file> <size> <modified>"; an unchanged file is then recognised by one look
// at it. A stamp counts only where its identifier agrees with the manifest's. Manifests of an
// earlier version of the agent hold "<sha256> copy|link <stamp>" records: their identifier
// counts, their stamp only for a copy.
struct Recorded {
  std::string_view hash;
  std::optional<platform::FileStamp> stamp;
};

constexpr std::size_t HASH_SIZE = 64;

template <class Number>
bool read_number(std::string_view& text, Number& number) {
  if (!text.starts_with(' ')) return false;
  const auto [end, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), number);
  if (ec != std::errc()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

bool read_stamp(std::string_view text, platform::FileStamp& stamp) {
  return read_number(text, stamp.device) && read_number(text, stamp.file) &&
         read_number(text, stamp.size) && read_number(text, stamp.modified) && text.empty();
}

// A manifest entry: the identifier, and the stamp an earlier version kept in the same text.
std::optional<Recorded> recorded(const json::value& value) {
  const auto* string = value.if_string();
  if (string == nullptr) return std::nullopt;
  std::string_view text = *string;
  if (text.size() <= HASH_SIZE) return Recorded{text, std::nullopt};
  Recorded entry{text.substr(0, HASH_SIZE), std::nullopt};
  text.remove_prefix(HASH_SIZE);
  // A hard link to the blob, as an earlier version placed some files: placed again.
  if (!text.starts_with(" copy")) return entry;
  text.remove_prefix(5);
  platform::FileStamp stamp;
  if (read_stamp(text, stamp)) entry.stamp = stamp;
  return entry;
}

// The stamp of the stamps file's entry, when it is for the identifier `hash`.
std::optional<platform::FileStamp> stamp_for(const json::value* value, std::string_view hash) {
  const auto* string = value ? value->if_string() : nullptr;
  if (string == nullptr) return std::nullopt;
  std::string_view text = *string;
  if (text.size() <= HASH_SIZE || text.substr(0, HASH_SIZE) != hash) return std::nullopt;
  platform::FileStamp stamp;
  if (!read_stamp(text.substr(HASH_SIZE), stamp)) return std::nullopt;
  return stamp;
}

std::string stamp_record(std::string_view hash, const platform::FileStamp& stamp) {
  std::string text = to_lower_ascii(hash);
  for (const auto number : {stamp.device, stamp.file, stamp.size})
    text.append(" ").append(std::to_string(number));
  return text.append(" ").append(std::to_string(stamp.modified));
}

// The stamps file's entry for the manifest itself (no project path is empty).
constexpr std::string_view MANIFEST_KEY = "";

// Whether the manifest is still the file the stamps were written beside; the entry is then
// taken out of the stamps.
bool written_beside(json::object& stamps, const fs::path& manifest) {
  const auto* entry = stamps.if_contains(MANIFEST_KEY);
  platform::FileStamp written;
  const bool agree = entry != nullptr && entry->is_string() &&
                     read_stamp(std::string_view(entry->get_string()), written) &&
                     platform::regular_file_stamp(manifest) == written;
  stamps.erase(MANIFEST_KEY);
  return agree;
}

// Empty when missing, a link, or not an object of strings: then every file is placed again and
// nothing is deleted. (An entry that does not read as a record only has its file placed again.)
json::object read_manifest(const fs::path& path, json::storage_ptr storage) {
  if (platform::is_link(path)) return json::object(storage);
  const auto text = read_file(path);
  if (!text) return json::object(storage);
  boost::system::error_code ec;
  json::value parsed = json::parse(*text, ec, storage);
  if (ec || !parsed.is_object()) return json::object(storage);
  for (const auto& member : parsed.get_object())
    if (!member.value().is_string()) return json::object(storage);
  return std::move(parsed.get_object());
}

// Published by rename, so a crash mid-write never leaves a manifest that vouches for files that
// were never placed. When it cannot be saved, the old one must not stay either: it would vouch for
// contents replaced since. Without a manifest the next compile places every file again.
std::expected<void, std::string> write_manifest(const fs::path& path,
                                                const json::object& manifest) {
  auto written = write_atomic(path, json::serialize(manifest));
  if (written) return {};
  remove_quietly(path);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return {};
  return written;
}

// Appends a "/"-separated UTF-8 project path to a path in the system's own form.
template <class Native>
void append_native(Native& native, std::string_view path) {
  if constexpr (std::is_same_v<typename Native::value_type, char>)
    native += path;
  else
    native += utf8_path(path).make_preferred().native();
}

std::string_view parent_of(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// Makes `path` a real directory: a link there is removed (never followed), anything else that is
// not a directory is removed if it can be.
bool make_real_dir(const fs::path& path) {
  if (platform::is_real_directory(path)) return true;
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
  if (fs::exists(fs::symlink_status(current, ec))) return false;
  // Folders left empty go too, so that a file of the same name can take their place.
  for (current = current.parent_path(); current != work && fs::is_empty(current, ec) && !ec;
       current = current.parent_path())
    if (!fs::remove(current, ec)) break;
  return true;
}

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` starts with `prefix`, ASCII letters compared without regard to case.
bool starts_with_folded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::ranges::equal(text.substr(0, prefix.size()), prefix,
                            [](char a, char b) { return lower_ascii(a) == lower_ascii(b); });
}

bool same_hash(std::string_view a, std::string_view b) {
  return a.size() == b.size() && starts_with_folded(a, b);
}

bool still_placed(const fs::path& target, const fs::path& blob) {
  if (platform::is_link(target)) return false;
  std::error_code ec;
  if (!fs::is_regular_file(target, ec)) return false;
  // Never a hard link to the blob (as an earlier version placed files): a run that could change
  // its mode would write into the store.
  if (fs::equivalent(target, blob, ec)) return false;
  const auto size = fs::file_size(target, ec);
  return !ec && size == fs::file_size(blob, ec) && !ec;
}

// One attempt; the system's reason when it failed.
std::optional<std::string> place_once(const fs::path& target, const fs::path& blob) {
  std::error_code ec;
  if (platform::is_link(target)) {
    if (!platform::remove_link(target)) return "a link is in its place and cannot be removed";
  } else {
    fs::remove(target, ec);
    if (ec) return ec.message();
  }
  // A copy of its own (a clone sharing the blocks where the file system can): what a run does to
  // it never reaches the store.
  if (auto copied = platform::clone_or_copy(blob, target); !copied) return copied.error();
  // The copy is the project's own: a tool may write to it without reaching the store.
  fs::permissions(target, fs::perms::owner_write, fs::perm_options::add, ec);
  return std::nullopt;
}

std::optional<std::string> place(const fs::path& target, const fs::path& blob) {
  std::optional<std::string> error;
  for (int attempt = 0; attempt < PLACE_TRIES; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(RETRY_PAUSE);
    error = place_once(target, blob);
    if (!error) return std::nullopt;
  }
  return error;
}

}  // namespace

fs::path work_dir_of(const std::string& project) {
  return cache_dir() / "work" / project;
}

std::vector<std::string> placed_project_files(const std::string& project) {
  std::vector<std::string> paths;
  for (const auto& entry : read_manifest(work_dir_of(project) / MANIFEST_NAME, {}))
    paths.emplace_back(entry.key());
  return paths;
}

bool is_latexmkrc_name(std::string_view path) {
  const std::string_view name = last_segment(path);
  return (name.size() == 9 && starts_with_folded(name, "latexmkrc")) ||
         starts_with_folded(name, ".latexmkrc") || starts_with_folded(name, "latexmkrc.");
}

std::expected<Workspace, std::string> materialize(const std::string& project,
                                                  const std::vector<FileRef>& files) {
  const fs::path plain_work = work_dir_of(project);
  // Project paths may be longer than the old Windows limit.
  const fs::path work = platform::long_path(plain_work);
  const fs::path out = work / "_out";
  const fs::path manifest_path = work / MANIFEST_NAME;
  const fs::path stamps_path = work / STAMPS_NAME;
  const fs::path blobs = blobs_dir();
  create_private_dirs(plain_work.parent_path());
  if (!make_real_dir(work))
    return std::unexpected("could not create the work directory " +
                           platform::path_text(plain_work));
  // Read in one piece of memory, released at once.
  json::monotonic_resource manifest_memory;
  json::object old_stamps = read_manifest(stamps_path, &manifest_memory);
  // While the manifest is still the one the stamps were written beside, the stamps file (which
  // repeats each identifier) is read alone.
  const bool stamps_agree = written_beside(old_stamps, manifest_path);
  json::object manifest(&manifest_memory);
  if (!stamps_agree) manifest = read_manifest(manifest_path, &manifest_memory);
  const json::object& old = stamps_agree ? old_stamps : manifest;

  // Each file's entry in the old manifest (the paths are distinct), or none; a file the project
  // may not place is skipped altogether.
  std::vector<const json::value*> previous_entries(files.size(), nullptr);
  std::size_t still_listed = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (is_latexmkrc_name(files[i].path)) continue;
    previous_entries[i] = old.if_contains(files[i].path);
    still_listed += previous_entries[i] != nullptr;
  }

  // Stale files go first (with folders they leave empty), so that a file that became a folder
  // makes room for it and the reverse. One that could not be deleted stays in the manifest and is
  // tried again next time.
  bool changed = false;
  json::object placed;
  if (still_listed < old.size()) {
    std::vector<std::string_view> wanted;
    wanted.reserve(files.size());
    for (const FileRef& file : files)
      if (!is_latexmkrc_name(file.path)) wanted.push_back(file.path);
    std::ranges::sort(wanted);
    for (const auto& [path, value] : old) {
      if (std::ranges::binary_search(wanted, std::string_view(path))) continue;
      changed = true;
      if (!valid_relative_path(path) || is_reserved_project_path(path)) continue;
      if (remove_stale(work, std::string(path))) continue;
      if (auto entry = recorded(value)) placed[path] = to_lower_ascii(entry->hash);
    }
  }

  std::optional<std::string> failure;
  if (!make_real_dir(out)) failure = "could not create the output folder _out";
  std::unordered_set<std::string_view> folders_made;
  std::string_view last_folder;
  struct Placement {
    const FileRef* file;
    std::optional<platform::FileStamp> stamp;
  };
  std::vector<Placement> placements;
  placements.reserve(files.size());
  // Each file is looked at from the work directory held open, its path written in one buffer.
  const platform::StampReader stamps(work);
  fs::path::string_type target_text;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const FileRef& file = files[i];
    if (failure) break;
    if (is_latexmkrc_name(file.path) || placed.contains(file.path)) continue;
    const std::string_view folder = parent_of(file.path);
    const bool new_folder = folder != last_folder;
    last_folder = folder;
    if (!folder.empty() && new_folder && folders_made.insert(folder).second) {
      if (!make_real_dirs(work, utf8_path(folder))) {
        failure = "could not place the project file \"" + file.path +
                  "\": its folder cannot be created in the work directory";
        break;
      }
      make_real_dirs(out, utf8_path(folder));
    }
    target_text.clear();
    append_native(target_text, file.path);
    std::optional<platform::FileStamp> stamp = stamps.regular_file_stamp(target_text.c_str());
    std::optional<Recorded> previous;
    if (const json::value* entry = previous_entries[i]) previous = recorded(*entry);
    bool unchanged = previous && same_hash(previous->hash, file.sha256) && stamp;
    if (unchanged && !previous->stamp)
      previous->stamp = stamp_for(old_stamps.if_contains(file.path), previous->hash);
    if (unchanged && previous->stamp) {
      unchanged = *stamp == *previous->stamp;
      if (unchanged) {
        placements.push_back({&file, *stamp});
        continue;
      }
    }
    const fs::path target = work / utf8_path(file.path);
    if (unchanged) {
      unchanged = still_placed(target, blobs / to_lower_ascii(file.sha256));
      changed = true;  // recorded again with its stamp
    }
    if (!unchanged) {
      changed = true;
      if (auto error = place(target, blobs / to_lower_ascii(file.sha256))) {
        failure = "could not place the project file \"" + file.path +
                  "\" in the work directory: " + *error;
        break;
      }
      stamp = platform::regular_file_stamp(target);
    }
    // A file whose stamp cannot be read is recorded by its identifier alone: it is looked at
    // closely next time.
    placements.push_back({&file, stamp});
  }
  // An unchanged project is recognised without writing anything.
  if (changed || failure) {
    json::object stamped;
    for (const Placement& p : placements) {
      placed[p.file->path] = to_lower_ascii(p.file->sha256);
      if (p.stamp) stamped[p.file->path] = stamp_record(p.file->sha256, *p.stamp);
    }
    if (auto saved = write_manifest(manifest_path, placed); !saved && !failure)
      failure = saved.error();
    if (const auto written = platform::regular_file_stamp(manifest_path))
      stamped[MANIFEST_KEY] = stamp_record("", *written);
    // Without its stamps an unchanged file is only looked at more closely next time.
    if (!write_atomic(stamps_path, json::serialize(stamped))) remove_quietly(stamps_path);
  }
  if (failure) return std::unexpected(*failure + "; nothing was compiled");
  // The engine gets the plain paths it can print and pass on.
  return Workspace{plain_work, plain_work / "_out"};
}

void mirror_folders_below(const Workspace& workspace, const std::vector<FileRef>& files,
                          std::string_view main_folder) {
  if (main_folder.empty()) return;
  const std::string prefix = std::string(main_folder) + "/";
  std::unordered_set<std::string_view> done;
  for (const FileRef& file : files) {
    if (!std::string_view(file.path).starts_with(prefix)) continue;
    const std::string_view folder = parent_of(std::string_view(file.path).substr(prefix.size()));
    if (!folder.empty() && done.insert(folder).second)
      make_real_dirs(workspace.out_dir, utf8_path(folder));
  }
}

}  // namespace vellora
