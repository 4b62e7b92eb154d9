// The shared font-name database copied into a project when the disk fills up mid-copy (a file
// size limit stands in for the full disk).

#include <gtest/gtest.h>

#include "compile/run_caches.h"
#include "file_size_limit.h"
#include "harness.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;

TEST(RunCachesPosix, FontNamesCutShortAreNotLeftAsTheProjectsDatabase) {
  test::TempDir dir;
  const fs::path names = "luatex-cache/generic/names";
  const fs::path shared = dir.path() / "shared";
  const fs::path project = dir.path() / "project/luatex";
  test::write_file(shared / names / "luaotfload-names.luc.gz", std::string(256 * 1024, 'n'));
  test::write_file(shared / names / "luaotfload-lookup-cache.luc", "lookups");
  {
    test::FileSizeLimit limit(64 * 1024);
    const auto seeded = seed_font_names(shared, project);
    ASSERT_FALSE(seeded);
    EXPECT_EQ(seeded.error(),
              "the font-name database could not be copied into the project: File too large");
  }
  // Nothing that would pass for a database: luaotfload builds its own, or the next compile copies.
  std::error_code ec;
  EXPECT_TRUE(!fs::exists(project / names, ec) || fs::is_empty(project / names, ec));
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(project / "luatex-cache"),
                          fs::recursive_directory_iterator()),
            1)  // the "generic" folder alone
      << "left behind";

  ASSERT_TRUE(seed_font_names(shared, project));
  EXPECT_EQ(test::read_text(project / names / "luaotfload-names.luc.gz").size(), 256u * 1024);
  EXPECT_EQ(test::read_text(project / names / "luaotfload-lookup-cache.luc"), "lookups");
}

}  // namespace
}  // namespace vellora
