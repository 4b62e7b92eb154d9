// Which files count as programs on Linux.

#include <gtest/gtest.h>

#include "harness.h"
#include "toolchain/search.h"

namespace vellora {
namespace {

TEST(FindProgramPosix, OnlyExecutableFilesNamedExactlyCount) {
  test::TempDir dir;
  const auto a = dir.path() / "a", b = dir.path() / "b";
  // Not executable: a later executable file wins.
  test::write_file(a / "latexmk", "#!/bin/sh\n");
  test::write_script(b / "latexmk", "exit 0\n");
  // Windows names are not Linux programs.
  test::write_script(a / "pdflatex.exe", "exit 0\n");
  test::write_script(a / "pdflatex.bat", "exit 0\n");
  test::write_script(b / "pdflatex", "exit 0\n");
  // A directory does not count.
  std::filesystem::create_directories(a / "xelatex");
  test::write_script(b / "xelatex", "exit 0\n");
  // The first directory wins.
  test::write_script(a / "lualatex", "exit 0\n");
  test::write_script(b / "lualatex", "exit 0\n");
  test::write_script(a / "tectonic.exe", "exit 0\n");
  const std::pair<const char*, std::optional<std::filesystem::path>> cases[] = {
      {"latexmk", b / "latexmk"},   {"pdflatex", b / "pdflatex"}, {"xelatex", b / "xelatex"},
      {"lualatex", a / "lualatex"}, {"tectonic", std::nullopt},   {"missing", std::nullopt},
  };
  for (const auto& [name, expected] : cases)
    EXPECT_EQ(find_program_in({a, b}, name), expected) << name;
}

}  // namespace
}  // namespace vellora
