#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace vellora::platform {

// What tells one state of a file from another without reading it: which file it is (device and
// file number, shared by hard links) and its size and modification time. A file rewritten in
// place or replaced gets a different stamp.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds (POSIX) or 100-nanosecond ticks (Windows)
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of a regular file, read with one system call that never follows a link. None for a
// link, a folder, anything else or a path that cannot be examined.
// `native_path` is a path in the system's own form, so that a caller looking at many files need not
// build a path object for each.
std::optional<FileStamp> regular_file_stamp(const std::filesystem::path::value_type* native_path);
inline std::optional<FileStamp> regular_file_stamp(const std::filesystem::path& path) {
  return regular_file_stamp(path.c_str());
}

// A directory held open, so that the stamps of many files below it are read without walking the
// path to it again for each. Where the system has no such handle, paths are joined instead.
class StampReader {
 public:
  explicit StampReader(const std::filesystem::path& directory);
  ~StampReader();
  StampReader(const StampReader&) = delete;
  StampReader& operator=(const StampReader&) = delete;

  // As regular_file_stamp of the directory joined with `relative` (in the system's own form).
  std::optional<FileStamp> regular_file_stamp(
      const std::filesystem::path::value_type* relative) const;

 private:
  std::filesystem::path directory_;
  int descriptor_ = -1;
};

// Whether the path is a directory itself, not a link to one (nor a junction), in one look.
bool is_real_directory(const std::filesystem::path& path);

}  // namespace vellora::platform
