// Which files count as programs on Windows: what CreateProcessW can start.

#include <gtest/gtest.h>

#include "harness.h"
#include "toolchain/search.h"

namespace vellora {
namespace {

TEST(FindProgramWindows, OnlyExeAndBatFilesCount) {
  test::TempDir dir;
  const auto a = dir.path() / "a", b = dir.path() / "b";
  // Without an extension: not a program here.
  test::write_file(a / "pdflatex", "");
  test::write_file(b / "pdflatex.bat", "");
  test::write_file(a / "tectonic", "");
  // A directory does not count.
  std::filesystem::create_directories(a / "xelatex.exe");
  test::write_file(b / "xelatex.exe", "");
  // .exe before .bat in one directory; the first directory wins.
  test::write_file(a / "tool.bat", "");
  test::write_file(a / "tool.exe", "");
  test::write_file(a / "lualatex.bat", "");
  test::write_file(b / "lualatex.exe", "");
  const std::pair<const char*, std::optional<std::filesystem::path>> cases[] = {
      {"pdflatex", b / "pdflatex.bat"}, {"xelatex", b / "xelatex.exe"}, {"tool", a / "tool.exe"},
      {"lualatex", a / "lualatex.bat"}, {"tectonic", std::nullopt},     {"missing", std::nullopt},
  };
  for (const auto& [name, expected] : cases)
    EXPECT_EQ(find_program_in({a, b}, name), expected) << name;
}

}  // namespace
}  // namespace vellora
