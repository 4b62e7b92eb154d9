// Windows: install-tinytex through its self-extracting package, with a stand-in curl.exe serving
// the release description and the package from a local folder.

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

const std::string TAG = "v2025.01";
const std::string PACKAGE = "TinyTeX-1-windows-" + TAG + ".exe";

class TinyTexWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string package = read_text(helper_binary());  // see test_helper_win.cpp
    const std::string path = "/rstudio/tinytex-releases/releases/download/" + TAG + "/" + PACKAGE;
    fs::create_directories((site_ / ("." + path)).parent_path());
    write_file(site_ / ("." + path), package);
    fs::create_directories(site_ / "repos/rstudio/tinytex-releases/releases");
    write_file(site_ / "repos/rstudio/tinytex-releases/releases/latest",
               R"({"tag_name":")" + TAG + R"(","assets":[{"name":")" + PACKAGE +
                   R"(","digest":"sha256:)" + sha256_of(package) +
                   R"(","browser_download_url":"https://github.com)" + path +
                   R"(","size":123456789}]})");
    fs::copy_file(helper_binary(), agent_.bin() / "curl.exe");
    agent_.set_env("FAKE_SITE", platform::path_text(site_));
  }
  // %APPDATA%\TinyTeX
  fs::path target() const { return agent_.config_dir().parent_path() / "TinyTeX"; }
  fs::path unpacking() const { return agent_.home() / ".vellora-tinytex-tmp"; }

  Agent agent_;
  const fs::path site_ = agent_.root() / "site";
};

// The package is unpacked by running it (-y -o<folder>), moved to %APPDATA%\TinyTeX and its tlmgr
// asked for latexmk; the stand-in tlmgr installs nothing, so the command ends saying so. The
// profile is fresh: its APPDATA folder does not exist yet (the move into it used to fail).
TEST_F(TinyTexWindows, SelfExtractingPackageIsUnpackedAndItsTlmgrAskedForLatexmk) {
  auto result = agent_.run({"install-tinytex", "--yes"});
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_NE(result.out.find("  download " + PACKAGE + " (123 MB)\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("SHA-256 verified. Extracting...\nInstalling latexmk with tlmgr...\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err,
            "Error: TinyTeX was installed, but the agent still cannot see latexmk and pdflatex "
            "(try: ~/.TinyTeX/bin/*/tlmgr install latexmk)\n");
  const fs::path bin = target() / "bin/windows";
  EXPECT_TRUE(fs::is_regular_file(bin / "tlmgr.exe"));
  EXPECT_NE(read_text(bin / "planted.log").find("latexmk"), std::string::npos)
      << read_text(bin / "planted.log");
  EXPECT_FALSE(fs::exists(unpacking()));
  EXPECT_TRUE(fs::is_empty(agent_.cache_dir() / "downloads"));

  result = agent_.run({"uninstall-tinytex", "--yes"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "TinyTeX removed.\n");
  EXPECT_FALSE(fs::exists(target()));
}

// A package that fails to unpack leaves no target and no unpacking folder, and the message ends
// with the unpacker's own words.
TEST_F(TinyTexWindows, FailedExtractionSaysWhyAndLeavesNothing) {
  agent_.set_env("FAKE_EXTRACT", "fail");
  const auto result = agent_.run({"install-tinytex", "--yes"});
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_EQ(result.err,
            "Error: could not extract the package (ERROR: Data Error : "
            "TinyTeX\\bin\\windows\\tlmgr.exe)\n");
  EXPECT_FALSE(fs::exists(target()));
  EXPECT_FALSE(fs::exists(unpacking()));
}

}  // namespace
}  // namespace vellora::test
