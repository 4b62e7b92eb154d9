// Downloads through the real curl and wget from a local web site, their fixed command lines, file
// digests and the yes/no question.

#include "net/fetch.h"

#include <gtest/gtest.h>

#include <sstream>

#include "harness.h"
#include "net/confirm.h"
#include "service_support.h"

namespace vellora {
namespace {

using net::Downloader;
namespace fs = std::filesystem;

const fs::path CURL = "/usr/bin/curl";
const fs::path WGET = "/usr/bin/wget";

// Fake downloaders first on PATH record their arguments, one a line.
class FakeDownloaders : public ::testing::Test {
 protected:
  void fake(const std::string& name, int status) {
    test::write_script(dir_.path() / name, "printf '%s\\n' \"$@\" > \"$0.args\"\necho body\nexit " +
                                               std::to_string(status) + "\n");
  }
  std::string args(const std::string& name) {
    return test::read_text(dir_.path() / (name + ".args"));
  }
  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", dir_.path().string() + ":/usr/bin:/bin"};
};

TEST_F(FakeDownloaders, CommandLinesAreFixedWithTheUrlLast) {
  fake("curl", 0);
  fake("wget", 0);
  EXPECT_EQ(net::fetch_text("http://h/v.json"), "body\n");
  EXPECT_EQ(args("curl"),
            "-fsSL\n--max-time\n30\n-H\nAccept: application/vnd.github+json\n-H\nUser-Agent: "
            "vellora-agent\nhttp://h/v.json\n");
  EXPECT_TRUE(net::download_file("http://h/a b", "/tmp/x y/file"));
  EXPECT_EQ(args("curl"),
            "-fL\n--retry\n5\n--retry-delay\n3\n-C\n-\n-o\n/tmp/x y/file\nhttp://h/a b\n");

  const fs::path wget = dir_.path() / "wget";
  EXPECT_EQ(net::fetch_text_with(Downloader::Wget, wget, "http://h/v.json"), "body\n");
  EXPECT_EQ(
      args("wget"),
      "-qO-\n--timeout=30\n--header=Accept: application/vnd.github+json\n--user-agent=vellora-"
      "agent\nhttp://h/v.json\n");
  EXPECT_TRUE(net::download_file_with(Downloader::Wget, wget, "http://h/f", "/tmp/d"));
  EXPECT_EQ(args("wget"), "-c\n--tries=6\n--waitretry=3\n-O\n/tmp/d\nhttp://h/f\n");
}

TEST_F(FakeDownloaders, AnyFailingStatusGivesTheFixedTexts) {
  for (int status : {1, 22, 28, 255}) {
    fake("curl", status);
    EXPECT_EQ(net::fetch_text("https://x.example/v.json").error(),
              "could not query https://x.example/v.json (no internet?)");
    EXPECT_EQ(net::download_file("https://x.example/f", dir_.path() / "f").error(),
              "the download failed");
  }
}

TEST_F(FakeDownloaders, ADownloaderThatHangsIsEndedAtItsLimit) {
  test::write_script(dir_.path() / "curl", "echo $$ > \"$0.pid\"; exec sleep 300\n");
  const fs::path curl = dir_.path() / "curl";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(
      net::fetch_text_with(Downloader::Curl, curl, "http://h/v", std::chrono::seconds(1)).error(),
      "could not query http://h/v (no internet?)");
  EXPECT_EQ(net::download_file_with(Downloader::Curl, curl, "http://h/f", dir_.path() / "f",
                                    std::chrono::seconds(1))
                .error(),
            "the download failed");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_FALSE(test::process_alive(std::stoi(test::read_text(dir_.path() / "curl.pid"))));
}

TEST_F(FakeDownloaders, ProgramOnPathLooksInPathThenTheFixedDirectories) {
  EXPECT_FALSE(net::program_on_path("vellora-no-such-program"));
  fake("tool", 0);
  EXPECT_EQ(net::locate_program("tool"), dir_.path() / "tool");
  fake("tool.exe", 0);
  EXPECT_EQ(net::locate_program("tool"), dir_.path() / "tool.exe");
  // /usr/bin is searched even when PATH does not name it.
  test::ScopedEnv only_here("PATH", dir_.path().string());
  EXPECT_EQ(net::locate_program("sh"), fs::path("/usr/bin/sh"));
  test::ScopedEnv unset("PATH", std::nullopt);
  EXPECT_EQ(net::locate_program("sh"), fs::path("/usr/bin/sh"));
  // A relative entry would run what lies in the current directory.
  test::ScopedEnv relative("PATH", ".:" + dir_.path().filename().string());
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  EXPECT_FALSE(net::program_on_path("tool"));
  fs::current_path(previous);
}

class RealDownloaders : public ::testing::Test {
 protected:
  test::LocalSite site_;
  test::TempDir dir_;
};

TEST_F(RealDownloaders, CurlAndWgetFetchAndDownload) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  site_.put("static/agent/version.json", "{\"version\": \"1.2.3\"}\n");
  site_.put("static/agent/asset", big);
  for (const auto& [downloader, program] :
       {std::pair{Downloader::Curl, CURL}, std::pair{Downloader::Wget, WGET}}) {
    SCOPED_TRACE(program.string());
    EXPECT_EQ(
        net::fetch_text_with(downloader, program, site_.origin() + "/static/agent/version.json"),
        "{\"version\": \"1.2.3\"}\n");
    EXPECT_EQ(net::fetch_text_with(downloader, program, site_.origin() + "/missing").error(),
              "could not query " + site_.origin() + "/missing (no internet?)");
    const fs::path file = dir_.path() / program.filename();
    ASSERT_TRUE(
        net::download_file_with(downloader, program, site_.origin() + "/static/agent/asset", file));
    EXPECT_EQ(net::sha256_file(file), test::sha256_of(big));
    EXPECT_EQ(net::download_file_with(downloader, program, site_.origin() + "/missing",
                                      dir_.path() / "missing")
                  .error(),
              "the download failed");
  }
  // Neither program installed: the system's own text.
  EXPECT_EQ(net::fetch_text_with(Downloader::Wget, "wget-not-installed", site_.origin()).error(),
            "No such file or directory");
  EXPECT_EQ(net::download_file_with(Downloader::Wget, "wget-not-installed", site_.origin(),
                                    dir_.path() / "f")
                .error(),
            "No such file or directory");
}

TEST(Sha256File, EmptyLargeAndMissing) {
  test::TempDir dir;
  test::write_file(dir.path() / "empty", "");
  EXPECT_EQ(net::sha256_file(dir.path() / "empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Several pieces of 64 KiB and a partial last one.
  std::string big((5 << 20) + 17, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>(i);
  test::write_file(dir.path() / "big", big);
  EXPECT_EQ(net::sha256_file(dir.path() / "big"), test::sha256_of(big));
  EXPECT_EQ(net::sha256_file(dir.path() / "missing").error(), "No such file or directory");
  EXPECT_EQ(net::sha256_file(dir.path()).error(), "Is a directory");
}

TEST(Confirm, AnswersOnATerminal) {
  const struct {
    std::string input;
    bool yes;
  } cases[] = {{"y\n", true},   {"YES\n", true},  {" yes \r\n", true}, {"Y", true},
               {"n\n", false},  {"\n", false},    {"", false},         {"yess\n", false},
               {"no\n", false}, {"y es\n", false}};
  for (const auto& c : cases) {
    std::istringstream in(c.input);
    std::ostringstream out;
    EXPECT_EQ(net::confirm_on("Update now?", false, true, in, out), c.yes) << c.input;
    EXPECT_EQ(out.str(), "Update now? [y/N] ");
  }
}

TEST(Confirm, AssumeYesAndNoTerminal) {
  std::istringstream in("n\n");
  std::ostringstream out;
  EXPECT_EQ(net::confirm_on("Q?", true, false, in, out), true);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(in.tellg(), 0);  // never read
  EXPECT_EQ(net::confirm_on("Q?", false, false, in, out).error(),
            "no terminal to ask on: run it in a terminal or use --yes");
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace vellora
