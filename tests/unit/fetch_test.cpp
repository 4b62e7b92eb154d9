// Downloads through the real curl and wget from a local web site, their fixed command lines, file
// digests and the yes/no question.

#include "net/fetch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "harness.h"
#include "net/confirm.h"
#include "platform/crypto.h"
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
  EXPECT_EQ(
      args("curl"),
      "-fL\n--retry\n5\n--retry-delay\n3\n--speed-limit\n1\n--speed-time\n60\n-C\n-\n-o\n/tmp/"
      "x y/file\nhttp://h/a b\n");

  const fs::path wget = dir_.path() / "wget";
  EXPECT_EQ(net::fetch_text_with(Downloader::Wget, wget, "http://h/v.json"), "body\n");
  EXPECT_EQ(
      args("wget"),
      "-qO-\n--timeout=30\n--header=Accept: application/vnd.github+json\n--user-agent=vellora-"
      "agent\nhttp://h/v.json\n");
  EXPECT_TRUE(net::download_file_with(Downloader::Wget, wget, "http://h/f", "/tmp/d"));
  EXPECT_EQ(args("wget"),
            "-c\n--tries=6\n--waitretry=3\n--read-timeout=60\n-O\n/tmp/d\nhttp://h/f\n");
  // Shown at a terminal, wget draws its bar instead of a line of dots per 50 KiB; the stall limit
  // follows its variable.
  test::ScopedEnv stall("VELLORA_DOWNLOAD_STALL_SECS", "7");
  EXPECT_TRUE(net::download_file_with(Downloader::Wget, wget, "http://h/f", "/tmp/d",
                                      net::DOWNLOAD_LIMIT, net::ToolOutput::Shown));
  EXPECT_EQ(args("wget"),
            "-c\n--tries=6\n--waitretry=3\n--read-timeout=7\n--progress=bar:force\n-O\n/"
            "tmp/d\nhttp://h/f\n");
}

TEST(FindDownloader, CurlThenWgetElseSaysWhatToInstall) {
  const auto only = [](std::set<std::string> present) {
    return [present](const std::string& name) -> std::optional<fs::path> {
      if (present.contains(name)) return fs::path("/opt") / name;
      return std::nullopt;
    };
  };
  EXPECT_EQ(net::find_downloader(only({"curl", "wget"}))->program, fs::path("/opt/curl"));
  EXPECT_EQ(net::find_downloader(only({"wget"}))->downloader, Downloader::Wget);
  const auto none = net::find_downloader(only({}));
  ASSERT_FALSE(none);
  EXPECT_TRUE(none.error().starts_with("neither curl nor wget was found")) << none.error();
  EXPECT_NE(none.error().find("sudo apt install curl"), std::string::npos) << none.error();
}

TEST(LastErrorLine, TheToolsOwnWords) {
  const struct {
    std::string output, line;
  } cases[] = {
      {"", ""},
      {"\n \r\n", ""},
      {"  % Total\r  0  0\r100  5\ncurl: (22) The requested URL returned error: 404\n",
       "curl: (22) The requested URL returned error: 404"},
      {"progress 10%\rprogress 20%\r", "progress 20%"},
      {"tar: a/b: Cannot write: No space left on device\n"
       "tar: Exiting with failure status due to previous errors\n",
       "tar: a/b: Cannot write: No space left on device"},
      {"xz: (stdin): File format not recognized\ntar: Child returned status 1\n"
       "tar: Error is not recoverable: exiting now\n",
       "xz: (stdin): File format not recognized"},
  };
  for (const auto& c : cases) EXPECT_EQ(net::last_error_line(c.output), c.line) << c.output;
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

// The downloader's words end the failure message; shown, they also reach this process's standard
// error as they come (a user at a terminal sees the progress).
TEST_F(FakeDownloaders, TheDownloadersWordsAreKeptAndShownOnRequest) {
  test::write_script(dir_.path() / "curl",
                     "printf 'progress 50%%\\r' >&2\n"
                     "echo 'curl: (23) Failure writing output to destination' >&2\nexit 23\n");
  const fs::path curl = dir_.path() / "curl";
  const std::string failed =
      "the download failed (curl: (23) Failure writing output to destination)";
  EXPECT_EQ(
      net::download_file_with(Downloader::Curl, curl, "http://h/f", dir_.path() / "f").error(),
      failed);

  const fs::path seen = dir_.path() / "stderr";
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int file = ::open(seen.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, 2);
  ::close(file);
  const auto shown =
      net::download_file_with(Downloader::Curl, curl, "http://h/f", dir_.path() / "f",
                              net::DOWNLOAD_LIMIT, net::ToolOutput::Shown);
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(shown.error(), failed);
  EXPECT_EQ(test::read_text(seen),
            "progress 50%\rcurl: (23) Failure writing output to destination\n");
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
            "the download failed (still running after 1 seconds)");
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
    EXPECT_EQ(platform::sha256_file(file), test::sha256_of(big));
    const std::string missing =
        net::download_file_with(downloader, program, site_.origin() + "/missing",
                                dir_.path() / "missing")
            .error();
    if (downloader == Downloader::Curl) {
      EXPECT_EQ(missing, "the download failed (curl: (22) The requested URL returned error: 404)");
    } else {
      EXPECT_TRUE(missing.starts_with("the download failed (") &&
                  missing.ends_with("ERROR 404: File not found.)"))
          << missing;
    }
  }
  // Neither program installed: the system's own text.
  EXPECT_EQ(net::fetch_text_with(Downloader::Wget, "wget-not-installed", site_.origin()).error(),
            "No such file or directory");
  EXPECT_EQ(net::download_file_with(Downloader::Wget, "wget-not-installed", site_.origin(),
                                    dir_.path() / "f")
                .error(),
            "No such file or directory");
}

// Answers every request with the start of a large file, then sends nothing more while the
// connection stays open: a stalled download.
test::LoopbackServer stalling_server() {
  return test::LoopbackServer([](std::string_view) {
    return test::LoopbackServer::Answer{
        "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(100, 'x'), true};
  });
}

// A server that stops sending no longer holds the download for its whole time limit: after the
// stall limit without a byte, the downloader gives up (and its retries do too).
TEST(StalledDownload, IsAbandonedAfterTheStallLimit) {
  const test::LoopbackServer server = stalling_server();
  test::TempDir dir;
  test::ScopedEnv stall("VELLORA_DOWNLOAD_STALL_SECS", "1");
  for (const auto& [downloader, program] :
       {std::pair{Downloader::Curl, CURL}, std::pair{Downloader::Wget, WGET}}) {
    SCOPED_TRACE(program.string());
    const auto started = std::chrono::steady_clock::now();
    const auto result =
        net::download_file_with(downloader, program, server.origin() + "/asset",
                                dir.path() / program.filename(), std::chrono::seconds(100));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().starts_with("the download failed (")) << result.error();
    EXPECT_EQ(result.error().find("still running"), std::string::npos) << result.error();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(80));
  }
}

TEST(Sha256File, EmptyLargeAndMissing) {
  test::TempDir dir;
  test::write_file(dir.path() / "empty", "");
  EXPECT_EQ(platform::sha256_file(dir.path() / "empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Several pieces of 64 KiB and a partial last one.
  std::string big((5 << 20) + 17, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>(i);
  test::write_file(dir.path() / "big", big);
  EXPECT_EQ(platform::sha256_file(dir.path() / "big"), test::sha256_of(big));
  EXPECT_EQ(platform::sha256_file(dir.path() / "missing").error(), "No such file or directory");
  EXPECT_EQ(platform::sha256_file(dir.path()).error(), "Is a directory");
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
