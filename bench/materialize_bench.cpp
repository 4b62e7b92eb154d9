// Bringing an unchanged 1,000-file project into its work directory again, as the second compile of
// a project does: its cost beyond that of a one-file project, against 1,000 `lstat` calls on the
// same files. Best of many rounds of each, measured in the same run.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "dirs/dirs.h"
#include "harness.h"
#include "project/blob_store.h"
#include "project/materialize.h"

using namespace vellora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int FILES = 1000;
constexpr int ROUNDS = 200;
constexpr double AIM = 1.5;

template <class F>
double best_of(F&& run) {
  double best = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

std::vector<FileRef> project_of(int count) {
  std::vector<FileRef> files;
  for (int i = 0; i < count; ++i) {
    const std::string content = "File " + std::to_string(i) + " of the project.\n";
    const std::string digest = test::sha256_of(content);
    if (!store_blob(digest, content)) std::abort();
    // A project's usual shape: a few files at the top, the rest in a few dozen folders.
    const std::string folder = i < 10 ? "" : "part" + std::to_string(i % 40) + "/";
    files.push_back({folder + "file" + std::to_string(i) + ".tex", digest});
  }
  return files;
}

bool materialized(const std::string& project, const std::vector<FileRef>& files) {
  const auto done = materialize(project, files);
  if (!done) std::fprintf(stderr, "materialize failed: %s\n", done.error().c_str());
  return done.has_value();
}

}  // namespace

int main() {
  test::TempDir dir;
  test::ScopedEnv cache("XDG_CACHE_HOME", dir.path().string());
  std::filesystem::create_directories(blobs_dir());
  const auto large = project_of(FILES);
  const auto small = project_of(1);
  if (!materialized("large", large) || !materialized("small", small)) return 1;

  bool ok = true;
  const double large_time = best_of([&] { ok = materialized("large", large) && ok; });
  const double small_time = best_of([&] { ok = materialized("small", small) && ok; });
  if (!ok) return 1;

  std::vector<std::filesystem::path> paths;
  for (const FileRef& file : large) paths.push_back(work_dir_of("large") / file.path);
  std::uintmax_t found = 0;
  const double lstat_time = best_of([&] {
    for (const auto& path : paths) {
      std::error_code ec;
      found +=
          std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular;
    }
  });
  if (found != static_cast<std::uintmax_t>(FILES) * ROUNDS) return 1;

  const double ratio = (large_time - small_time) / lstat_time;
  std::printf(
      "unchanged %d-file project: %.3f ms, one-file project %.3f ms, %d lstat calls %.3f ms\n",
      FILES, large_time * 1e3, small_time * 1e3, FILES, lstat_time * 1e3);
  std::printf("materialize (%d files beyond one) / %d lstat calls: %.2f (aim <= %.1f)\n", FILES,
              FILES, ratio, AIM);
  return 0;
}
