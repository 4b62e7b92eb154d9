// Windows only: a state file that another program holds open (virus scanners, indexers and sync
// tools do, briefly) is replaced once it is released, and a failure is reported, never hidden.

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "dirs/dirs.h"
#include "harness.h"

namespace vellora {
namespace {

// Opens the file the way such programs do: reading, without letting anyone delete or rename it.
HANDLE hold(const std::filesystem::path& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::size_t files_in(const std::filesystem::path& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++count;
  return count;
}

TEST(WriteAtomicWindows, AFileHeldOpenIsReportedThenReplacedOnceReleased) {
  test::TempDir dir;
  const auto target = dir.path() / "devices.json";
  test::write_file(target, "old");

  // Held for good: the write fails after its retries, says so, and changes nothing.
  HANDLE held = hold(target);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const auto failed = write_atomic(target, "new");
  EXPECT_FALSE(failed.has_value());
  EXPECT_EQ(test::read_text(target), "old");
  EXPECT_EQ(files_in(dir.path()), 1u);  // no temporary file left beside it

  // Released while the write retries: it goes through.
  std::thread release([&] {
    ::Sleep(300);
    ::CloseHandle(held);
  });
  const auto written = write_atomic(target, "new");
  release.join();
  EXPECT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(test::read_text(target), "new");
  EXPECT_EQ(files_in(dir.path()), 1u);
}

}  // namespace
}  // namespace vellora
