#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "harness.h"
#include "project/blob_store.h"
#include "project/materialize.h"
#include "project/names.h"

namespace vellora {
namespace {

using test::read_text;
using test::write_file;

TEST(Names, ProjectIdentifiers) {
  const std::pair<std::string, bool> cases[] = {
      {"a", true},
      {"my-thesis_v2.0", true},
      {std::string(200, 'x'), true},
      {"", false},
      {".hidden", false},
      {"a/b", false},
      {"a b", false},
      {std::string(201, 'x'), false},
      {"caf\u00e9", false},
  };
  for (const auto& [id, valid] : cases) EXPECT_EQ(valid_project_id(id), valid) << id;
}

TEST(Names, RelativePaths) {
  const std::pair<std::string, bool> cases[] = {
      {"main.tex", true},
      {"figs/a b.png", true},
      {"\u00e9t\u00e9/r\u00e9sum\u00e9.tex", true},
      {"a/.hidden", true},
      {"a..b", true},
      {std::string(400, 'x'), true},
      {"/etc/passwd", false},
      {"a//b", false},
      {"a/", false},
      {"./a", false},
      {"a/../b", false},
      {"..", false},
      {"-x.tex", false},
      {"a/-b", false},
      {"a\\b", false},
      {"C:x", false},
      {"a\tb", false},
      {"a\x7f", false},
      {"a\u0085b", false},
      {"", false},
      {std::string(401, 'x'), false},
  };
  for (const auto& [path, valid] : cases) EXPECT_EQ(valid_relative_path(path), valid) << path;
}

TEST(Names, LatexmkConfigurationFiles) {
  for (const char* name :
       {"latexmkrc", "sub/.latexmkrc", ".latexmkrc.bak", "LatexMkRC.pl", "a/LATEXMKRC"})
    EXPECT_TRUE(is_latexmkrc_name(name)) << name;
  for (const char* name : {"mylatexmkrc", "latexmkrcx", "latexmkrc/x.tex"})
    EXPECT_FALSE(is_latexmkrc_name(name)) << name;
}

class MaterializeTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(blobs_dir()); }
  FileRef file(const std::string& path, const std::string& content) {
    const std::string digest = test::sha256_of(content);
    EXPECT_TRUE(store_blob(digest, content));
    return {path, digest};
  }
  static ino_t inode(const std::filesystem::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_ino;
  }
  test::TempDir dir_;
  test::ScopedEnv cache_{"XDG_CACHE_HOME", dir_.path().string()};
};

TEST_F(MaterializeTest, PlacesFilesAndMirrorsDirectoriesInTheOutput) {
  const auto ws = materialize("p", {file("main.tex", "main"), file("chapters/intro.tex", "intro"),
                                    file("latexmkrc", "evil"), file("x/.latexmkrc", "evil2")});
  EXPECT_EQ(ws.work_dir, dir_.path() / "vellora-agent/work/p");
  EXPECT_EQ(ws.out_dir, ws.work_dir / "_out");
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "main");
  EXPECT_EQ(read_text(ws.work_dir / "chapters/intro.tex"), "intro");
  EXPECT_TRUE(std::filesystem::is_directory(ws.out_dir / "chapters"));
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "latexmkrc"));
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "x/.latexmkrc"));
  const auto manifest = json::parse(read_text(ws.work_dir / ".vellora-manifest.json")).as_object();
  EXPECT_EQ(manifest.size(), 2u);
  EXPECT_EQ(manifest.at("main.tex"), test::sha256_of("main").c_str());
  // Placed by hard link: no copy of the data. The shared storage is read-only, so a tool cannot
  // change a stored blob through the work directory.
  EXPECT_EQ(inode(ws.work_dir / "main.tex"), inode(blobs_dir() / test::sha256_of("main")));
  EXPECT_EQ(
      std::filesystem::status(ws.work_dir / "main.tex").permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
          std::filesystem::perms::others_read);
}

TEST_F(MaterializeTest, SecondCompileTouchesOnlyWhatChanged) {
  const auto ws =
      materialize("p", {file("main.tex", "v1"), file("keep.tex", "same"), file("gone.tex", "bye")});
  const auto keep = ws.work_dir / "keep.tex";
  const auto keep_inode = inode(keep);
  const auto keep_time = std::filesystem::last_write_time(keep);
  write_file(ws.work_dir / "main.aux", "tool output");
  write_file(ws.out_dir / "main.pdf", "%PDF-old");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  materialize("p", {file("main.tex", "v2"), file("keep.tex", "same")});
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "v2");
  EXPECT_EQ(inode(keep), keep_inode);
  EXPECT_EQ(std::filesystem::last_write_time(keep), keep_time);
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "gone.tex"));
  EXPECT_EQ(read_text(ws.work_dir / "main.aux"), "tool output");
  EXPECT_EQ(read_text(ws.out_dir / "main.pdf"), "%PDF-old");
}

TEST_F(MaterializeTest, FileDeletedByHandIsPlacedAgain) {
  const auto ws = materialize("p", {file("main.tex", "x")});
  std::filesystem::remove(ws.work_dir / "main.tex");
  materialize("p", {file("main.tex", "x")});
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "x");
}

TEST_F(MaterializeTest, CorruptManifestReplacesEverythingAndDeletesNothing) {
  const auto ws = materialize("p", {file("main.tex", "x"), file("old.tex", "o")});
  write_file(ws.work_dir / "main.tex", "edited by hand");
  write_file(ws.work_dir / ".vellora-manifest.json", "{not json");
  materialize("p", {file("main.tex", "x")});
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "x");
  EXPECT_TRUE(std::filesystem::exists(ws.work_dir / "old.tex"));
}

TEST_F(MaterializeTest, ManifestEntriesOutsideTheProjectAreNeverDeleted) {
  const auto ws = materialize("p", {file("main.tex", "x")});
  write_file(dir_.path() / "victim.txt", "keep me");
  write_file(ws.work_dir / ".vellora-manifest.json", R"({"../../../victim.txt":"00"})");
  materialize("p", {file("main.tex", "x")});
  EXPECT_EQ(read_text(dir_.path() / "victim.txt"), "keep me");
}

TEST_F(MaterializeTest, BlobLookups) {
  const std::string digest = test::sha256_of("x");
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(blob_path(upper), blobs_dir() / digest);
  EXPECT_FALSE(blob_path(digest.substr(1)));
  EXPECT_FALSE(blob_path(digest.substr(1) + "g"));
  EXPECT_EQ(blob_missing(upper), digest);
  file("a", "x");
  EXPECT_FALSE(blob_missing(upper));
  EXPECT_FALSE(blob_missing("not a digest"));
}

}  // namespace
}  // namespace vellora
