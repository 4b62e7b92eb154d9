#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "harness.h"
#include "platform/env.h"
#include "platform/links.h"
#include "platform/long_path.h"
#include "project/blob_store.h"
#include "project/file_refs.h"
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

TEST(Names, MainFileNamesSafeForShellCmdAndTex) {
  for (const char* good :
       {"main.tex", "paper (final).tex", "dir/sub dir/a-b_c+d,e=f@g'h[1].tex",
        "\u00fcbung/\u65e5\u672c\u8a9e.tex", "\u0441\u0442\u0430\u0442\u044c\u044f.tex"})
    EXPECT_TRUE(valid_main_file_name(good)) << good;
  for (const char* bad : {"c\";touch x;\".tex",
                          "a$(id).tex",
                          "a`id`.tex",
                          "a\\b.tex",
                          "50%.tex",
                          "#1.tex",
                          "{a}.tex",
                          "~a.tex",
                          "a&b.tex",
                          "a|b.tex",
                          "a;b.tex",
                          "a<b.tex",
                          "a>b.tex",
                          "a*b.tex",
                          "a?b.tex",
                          "a!b.tex",
                          "a^b.tex",
                          "a\tb.tex",
                          "a\nb.tex",
                          "a\x7f.tex",
                          "../main.tex",
                          "/main.tex"})
    EXPECT_FALSE(valid_main_file_name(bad)) << bad;
}

TEST(Names, ReservedPaths) {
  for (const char* reserved :
       {"_out", "_out/main.pdf", "_OUT/a/b.tex", ".vellora-manifest.json", ".Vellora-Manifest.tmp",
        ".vellora-manifest.json.0123456789abcdef.tmp"})
    EXPECT_TRUE(is_reserved_project_path(reserved)) << reserved;
  for (const char* free :
       {"out/main.tex", "a/_out/x.tex", "_output.tex", "x.vellora-manifest.json"})
    EXPECT_FALSE(is_reserved_project_path(free)) << free;
}

TEST(Names, PathsWindowsCannotHold) {
  const std::pair<const char*, const char*> refused[] = {
      {"a<b.tex", "character"},
      {"a>b.tex", "character"},
      {"a\"b.tex", "character"},
      {"a|b.tex", "character"},
      {"what?.tex", "character"},
      {"*.tex", "character"},
      {"a\x01b.tex", "character"},
      {"CON", "device"},
      {"dir/nul.tex", "device"},
      {"Com1.txt", "device"},
      {"lpt9", "device"},
      {"aux/main.tex", "device"},
      {"prn .tex", "device"},
      {"notes.", "dot or a space"},
      {"dir./a.tex", "dot or a space"},
      {"a.tex ", "dot or a space"},
  };
  for (const auto& [path, reason] : refused) {
    const auto problem = windows_path_problem(path);
    ASSERT_TRUE(problem) << path;
    EXPECT_NE(problem->find(std::string("\"") + path + "\""), std::string::npos) << *problem;
    EXPECT_NE(problem->find(reason), std::string::npos) << *problem;
  }
  for (const char* fine : {"main.tex", "console.tex", "com10.tex", "auxiliary/a.tex", "a b/c.d.tex",
                           "\u00e9t\u00e9.tex", "conx"})
    EXPECT_FALSE(windows_path_problem(fine)) << fine;
}

TEST(Names, PathsThatDifferOnlyInLetterCase) {
  using Paths = std::vector<std::string>;
  const std::pair<Paths, bool> cases[] = {
      {{"main.tex", "Main.tex"}, true},
      {{"fig/a.png", "FIG/b.png"}, true},
      {{"a", "A/b.tex"}, true},
      {{"\u00c9t\u00e9.tex", "\u00e9t\u00e9.tex"}, true},
      {{"\u0421.tex", "\u0441.tex"}, true},
      {{"fig/a.png", "fig/b.png", "main.tex"}, false},
      {{"main.tex", "main.tex"}, false},
      {{"a.tex", "b.tex"}, false},
  };
  for (const auto& [paths, collides] : cases) {
    const auto problem = windows_paths_problem(paths);
    EXPECT_EQ(problem.has_value(), collides) << paths[0] << " " << paths[1];
    if (problem) {
      EXPECT_NE(problem->find("letter case"), std::string::npos) << *problem;
    }
  }
  EXPECT_NE(windows_paths_problem({"ok.tex", "bad|.tex"})->find("\"bad|.tex\""), std::string::npos);
}

TEST(FileRefs, PathsThatCannotTakeTheirPlaceTogether) {
  const std::pair<std::vector<std::string>, std::optional<std::string>> cases[] = {
      {{"main.tex", "a/b.tex", "a/c.tex", "ab", "a.tex"}, std::nullopt},
      {{"main.tex", "a!", "a/b.tex"}, std::nullopt},
      {{"main.tex", "x.tex", "main.tex"}, "\"main.tex\" is listed twice"},
      {{"a", "a/b.tex"}, "\"a\" is a file and also the folder of \"a/b.tex\""},
      {{"a/b/c.tex", "a/b"}, "\"a/b\" is a file and also the folder of \"a/b/c.tex\""},
      {{"x/a/b.tex", "x/a"}, "\"x/a\" is a file and also the folder of \"x/a/b.tex\""},
  };
  for (const auto& [paths, problem] : cases) {
    std::vector<FileRef> refs;
    for (const auto& path : paths) refs.push_back({path, std::string(64, 'a')});
    EXPECT_EQ(conflicting_path(refs), problem) << paths[0] << " " << paths[1];
  }
}

class MaterializeTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(blobs_dir()); }
  FileRef file(const std::string& path, const std::string& content) {
    const std::string digest = test::sha256_of(content);
    EXPECT_TRUE(store_blob(digest, content));
    return {path, digest};
  }
  static std::uint64_t inode(const std::filesystem::path& p) { return test::file_identity(p); }
  test::TempDir dir_;
  test::ScopedEnv cache_{"XDG_CACHE_HOME", dir_.path().string()};
};

TEST_F(MaterializeTest, PlacesFilesAndMirrorsDirectoriesInTheOutput) {
  const auto ws = materialize("p", {file("main.tex", "main"), file("chapters/intro.tex", "intro"),
                                    file("latexmkrc", "evil"), file("x/.latexmkrc", "evil2")})
                      .value();
  EXPECT_EQ(ws.work_dir, dir_.path() / "vellora-agent/work/p");
  EXPECT_EQ(ws.out_dir, ws.work_dir / "_out");
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "main");
  EXPECT_EQ(read_text(ws.work_dir / "chapters/intro.tex"), "intro");
  EXPECT_TRUE(std::filesystem::is_directory(ws.out_dir / "chapters"));
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "latexmkrc"));
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "x/.latexmkrc"));
  // The manifest maps each path to its blob's identifier and nothing else; what the placed file
  // was (so that an unchanged one is known by one look at it) is kept beside it.
  EXPECT_EQ(json::parse(read_text(ws.work_dir / ".vellora-manifest.json")),
            (json::object{{"main.tex", test::sha256_of("main")},
                          {"chapters/intro.tex", test::sha256_of("intro")}}));
  const auto stamps =
      json::parse(read_text(ws.work_dir / ".vellora-manifest.stamps.json")).as_object();
  // Each placed file, and the manifest they were written beside (under the empty name, which no
  // project path has).
  EXPECT_EQ(stamps.size(), 3u);
  EXPECT_TRUE(stamps.contains(""));
  const std::string main_entry(stamps.at("main.tex").as_string());
  EXPECT_TRUE(main_entry.starts_with(test::sha256_of("main") + " ")) << main_entry;
  // A copy of its own, never a hard link to the blob: a run that changed a linked file's mode
  // could write into the store.
  EXPECT_NE(inode(ws.work_dir / "main.tex"), inode(blobs_dir() / test::sha256_of("main")));
}

TEST_F(MaterializeTest, SecondCompileTouchesOnlyWhatChanged) {
  const auto ws =
      materialize("p", {file("main.tex", "v1"), file("keep.tex", "same"), file("gone.tex", "bye")})
          .value();
  const auto keep = ws.work_dir / "keep.tex";
  const auto keep_inode = inode(keep);
  const auto keep_time = std::filesystem::last_write_time(keep);
  write_file(ws.work_dir / "main.aux", "tool output");
  write_file(ws.out_dir / "main.pdf", "%PDF-old");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  materialize("p", {file("main.tex", "v2"), file("keep.tex", "same")}).value();
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "v2");
  EXPECT_EQ(inode(keep), keep_inode);
  EXPECT_EQ(std::filesystem::last_write_time(keep), keep_time);
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "gone.tex"));
  EXPECT_EQ(read_text(ws.work_dir / "main.aux"), "tool output");
  EXPECT_EQ(read_text(ws.out_dir / "main.pdf"), "%PDF-old");
}

// A file that becomes a folder of the same name, or the reverse, is in place at once.
TEST_F(MaterializeTest, FilesAndFoldersTradePlaces) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  const std::pair<Files, Files> cases[] = {
      {{{"main.tex", "m"}, {"a", "file a"}}, {{"main.tex", "m"}, {"a/b.tex", "in folder a"}}},
      {{{"main.tex", "m"}, {"a/b.tex", "in folder a"}}, {{"main.tex", "m"}, {"a", "file a"}}},
      {{{"main.tex", "m"}, {"a/b/c.tex", "deep"}}, {{"main.tex", "m"}, {"a/b", "file b"}}},
      {{{"main.tex", "m"}, {"a/b/c.tex", "deep"}}, {{"main.tex", "m"}, {"a", "file a"}}},
      {{{"main.tex", "m"}, {"a/b/c.tex", "deep"}, {"a/d.tex", "stays"}},
       {{"main.tex", "m"}, {"a/b", "file b"}, {"a/d.tex", "stays"}}},
      {{{"main.tex", "m"}, {"a/b.tex", "1"}, {"a/c.tex", "2"}}, {{"main.tex", "m"}}},
  };
  int project = 0;
  for (const auto& [before, after] : cases) {
    const std::string id = "p" + std::to_string(++project);
    std::vector<FileRef> first, second;
    for (const auto& [path, content] : before) first.push_back(file(path, content));
    for (const auto& [path, content] : after) second.push_back(file(path, content));
    const auto ws = materialize(id, first).value();
    const auto placed = materialize(id, second);
    ASSERT_TRUE(placed) << id << ": " << placed.error();
    for (const auto& [path, content] : after)
      EXPECT_EQ(read_text(ws.work_dir / path), content) << id << " " << path;
    // Nothing of the old list is left but what the new one holds, not even empty folders.
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(ws.work_dir)) {
      const auto relative = entry.path().lexically_relative(ws.work_dir).generic_string();
      if (!relative.starts_with("_out") && !relative.starts_with(".vellora")) left.insert(relative);
    }
    std::set<std::string> expected;
    for (const auto& [path, content] : after)
      for (std::filesystem::path p = path; !p.empty(); p = p.parent_path())
        expected.insert(p.generic_string());
    EXPECT_EQ(left, expected) << id;
  }
}

TEST_F(MaterializeTest, FileChangedInPlaceIsPlacedAgain) {
  const auto ws = materialize("p", {file("main.tex", "main"), file("main.bbl", "old")}).value();
  // A tool rewrites its copy with the same size.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  write_file(ws.work_dir / "main.bbl", "new");
  materialize("p", {file("main.tex", "main"), file("main.bbl", "old")}).value();
  EXPECT_EQ(read_text(ws.work_dir / "main.bbl"), "old");
}

TEST_F(MaterializeTest, ManifestOfAnEarlierVersionIsStillTrusted) {
  const auto ws = materialize("p", {file("main.tex", "x"), file("old.tex", "o")}).value();
  const auto main_inode = inode(ws.work_dir / "main.tex");
  write_file(ws.work_dir / ".vellora-manifest.json", "{\"main.tex\":\"" + test::sha256_of("x") +
                                                         "\",\"old.tex\":\"" +
                                                         test::sha256_of("o") + "\"}");
  materialize("p", {file("main.tex", "x")}).value();
  EXPECT_EQ(inode(ws.work_dir / "main.tex"), main_inode);
  EXPECT_FALSE(std::filesystem::exists(ws.work_dir / "old.tex"));
}

TEST_F(MaterializeTest, OutputFolderMirrorsTheFoldersBelowTheMainFile) {
  const std::vector<FileRef> files = {file("thesis/main.tex", "m"),
                                      file("thesis/chapters/intro.tex", "i"),
                                      file("thesis/chapters/deep/x.tex", "x"),
                                      file("other/y.tex", "y"), file("thesisx/z/w.tex", "w")};
  const auto ws = materialize("p", files).value();
  mirror_folders_below(ws, files, "thesis");
  for (const char* folder : {"thesis/chapters/deep", "chapters/deep", "other", "thesisx/z"})
    EXPECT_TRUE(std::filesystem::is_directory(ws.out_dir / folder)) << folder;
  EXPECT_FALSE(std::filesystem::exists(ws.out_dir / "z"));
}

TEST_F(MaterializeTest, FileDeletedByHandIsPlacedAgain) {
  const auto ws = materialize("p", {file("main.tex", "x")}).value();
  std::filesystem::remove(ws.work_dir / "main.tex");
  materialize("p", {file("main.tex", "x")}).value();
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "x");
}

TEST_F(MaterializeTest, CorruptManifestReplacesEverythingAndDeletesNothing) {
  const auto ws = materialize("p", {file("main.tex", "x"), file("old.tex", "o")}).value();
  write_file(ws.work_dir / "main.tex", "edited by hand");
  write_file(ws.work_dir / ".vellora-manifest.json", "{not json");
  materialize("p", {file("main.tex", "x")}).value();
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "x");
  EXPECT_TRUE(std::filesystem::exists(ws.work_dir / "old.tex"));
}

TEST_F(MaterializeTest, ManifestEntriesOutsideTheProjectAreNeverDeleted) {
  const auto ws = materialize("p", {file("main.tex", "x")}).value();
  write_file(dir_.path() / "victim.txt", "keep me");
  write_file(ws.work_dir / ".vellora-manifest.json", R"({"../../../victim.txt":"00"})");
  materialize("p", {file("main.tex", "x")}).value();
  EXPECT_EQ(read_text(dir_.path() / "victim.txt"), "keep me");
}

// An earlier compile (unconfined, or on a system without confinement) may have left links where
// the project's folders, files and outputs belong.
TEST_F(MaterializeTest, LinksBelowTheWorkDirectoryAreNeverFollowed) {
  namespace fs = std::filesystem;
  const fs::path outside = dir_.path() / "outside";
  write_file(outside / "victim.tex", "keep me");
  write_file(outside / "gone.tex", "keep me too");
  fs::create_directories(outside / "out");
  const auto ws =
      materialize("p", {file("main.tex", "v1"), file("sub/gone.tex", "g"), file("sub2/a.tex", "a")})
          .value();
  // sub becomes a link to a folder outside holding a file of the same name as a stale one; sub2
  // and _out become links to folders outside; main.tex a link to a file outside.
  fs::remove_all(ws.work_dir / "sub");
  std::error_code ec;
  fs::create_directory_symlink(outside, ws.work_dir / "sub", ec);
  if (ec) GTEST_SKIP() << "this system cannot make symbolic links: " << ec.message();
  fs::remove_all(ws.work_dir / "sub2");
  fs::create_directory_symlink(outside, ws.work_dir / "sub2");
  fs::remove_all(ws.out_dir);
  fs::create_directory_symlink(outside / "out", ws.out_dir);
  fs::remove(ws.work_dir / "main.tex");
  fs::create_symlink(outside / "victim.tex", ws.work_dir / "main.tex");

  materialize("p", {file("main.tex", "v2"), file("sub2/a.tex", "a2"), file("sub2/deep/b.tex", "b")})
      .value();
  EXPECT_EQ(read_text(outside / "victim.tex"), "keep me");
  EXPECT_EQ(read_text(outside / "gone.tex"), "keep me too");
  EXPECT_FALSE(fs::exists(outside / "a.tex"));
  EXPECT_FALSE(fs::exists(outside / "deep"));
  EXPECT_TRUE(fs::is_empty(outside / "out"));
  for (const char* path : {"main.tex", "sub2", "sub2/a.tex", "_out", "_out/sub2"})
    EXPECT_FALSE(fs::is_symlink(ws.work_dir / path)) << path;
  EXPECT_FALSE(fs::exists(fs::symlink_status(ws.work_dir / "sub")));
  EXPECT_EQ(read_text(ws.work_dir / "main.tex"), "v2");
  EXPECT_EQ(read_text(ws.work_dir / "sub2/a.tex"), "a2");
  EXPECT_EQ(read_text(ws.work_dir / "sub2/deep/b.tex"), "b");
}

TEST_F(MaterializeTest, EveryFileIsAWritableCopyOfItsOwn) {
  const auto ws = materialize("p", {file("main.tex", "m"), file("main.tuc", "tuc"),
                                    file("main-mpgraph.mp", "mp"), file("mainly.tex", "x")})
                      .value();
  for (const char* name : {"main.tex", "main.tuc", "main-mpgraph.mp", "mainly.tex"}) {
    EXPECT_FALSE(std::filesystem::equivalent(
        ws.work_dir / name, blobs_dir() / test::sha256_of(read_text(ws.work_dir / name))))
        << name;
    write_file(ws.work_dir / name, "written by the tool");
  }
  for (const char* content : {"m", "tuc", "mp", "x"})
    EXPECT_EQ(read_text(blobs_dir() / test::sha256_of(content)), content);

  // A link to the blob left there by an earlier placement (recorded as such) is replaced by a copy.
  const auto blob = blobs_dir() / test::sha256_of("tuc");
  std::filesystem::remove(ws.work_dir / "main.tuc");
  std::filesystem::create_hard_link(blob, ws.work_dir / "main.tuc");
  materialize("p", {file("main.tex", "m"), file("main.tuc", "tuc")}).value();
  EXPECT_FALSE(std::filesystem::equivalent(ws.work_dir / "main.tuc", blob));
}

// A file that cannot be placed is named, and the manifest does not vouch for it: once the
// obstacle is gone, the next compile places it.
TEST_F(MaterializeTest, FileThatCannotBePlacedIsAnErrorAndPlacedLater) {
  const auto ws = materialize("p", {file("main.tex", "m"), file("ch.tex", "v1")}).value();
  std::filesystem::remove(ws.work_dir / "ch.tex");
  write_file(ws.work_dir / "ch.tex/held", "a folder no one can remove in passing");

  const auto failed = materialize("p", {file("main.tex", "m"), file("ch.tex", "v2")});
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().find("\"ch.tex\""), std::string::npos) << failed.error();
  const auto manifest = json::parse(read_text(ws.work_dir / ".vellora-manifest.json")).as_object();
  EXPECT_FALSE(manifest.contains("ch.tex"));

  std::filesystem::remove_all(ws.work_dir / "ch.tex");
  ASSERT_TRUE(materialize("p", {file("main.tex", "m"), file("ch.tex", "v2")}));
  EXPECT_EQ(read_text(ws.work_dir / "ch.tex"), "v2");
}

TEST_F(MaterializeTest, PathsLongerThanTheOldWindowsLimit) {
  // 400 bytes below the work directory, in folders of up to 99 bytes.
  std::string deep;
  for (char c : {'a', 'b', 'c'}) deep += std::string(99, c) + "/";
  deep += std::string(400 - deep.size() - 4, 'd') + ".tex";
  ASSERT_EQ(deep.size(), 400u);
  ASSERT_TRUE(valid_relative_path(deep));
  const auto ws = materialize("p", {file("main.tex", "main"), file(deep, "deep")}).value();
  EXPECT_EQ(read_text(platform::long_path(ws.work_dir / deep)), "deep");
  // Removed from the list: deleted again.
  ASSERT_TRUE(materialize("p", {file("main.tex", "main")}));
  EXPECT_FALSE(std::filesystem::exists(platform::long_path(ws.work_dir / deep)));
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
