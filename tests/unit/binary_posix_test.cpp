// Saving the previous version when the disk fills up mid-copy (a file size limit stands in for
// the full disk).

#include <gtest/gtest.h>

#include "file_size_limit.h"
#include "harness.h"
#include "service/binary.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;

using test::FileSizeLimit;

TEST(BinaryPosix, SaveCutShortKeepsTheEarlierPrevWhole) {
  test::TempDir dir;
  const fs::path target = dir.path() / "vellora-agent";
  test::write_file(target, std::string(256 * 1024, 'n'));
  test::write_file(sibling(target, "prev"), "the version saved before");
  {
    FileSizeLimit limit(64 * 1024);
    const auto saved = save_previous_version(target);
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().find("File too large"), std::string::npos) << saved.error();
  }
  EXPECT_EQ(test::read_text(sibling(target, "prev")), "the version saved before");
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path());
  EXPECT_EQ(left.size(), 2u);  // no partial temporary copy
}

}  // namespace
}  // namespace vellora
