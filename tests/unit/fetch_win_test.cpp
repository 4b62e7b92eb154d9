// Windows: which curl runs.

#include <gtest/gtest.h>

#include "harness.h"
#include "net/fetch.h"
#include "platform/env.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;

// curl.exe comes with the system (Windows 10 and later): that one runs, by its full path, never a
// curl found first on PATH. PATH is searched only where the system folder has none.
TEST(DownloaderWindows, CurlOfTheSystemFolderRunsRatherThanOneOnPath) {
  test::TempDir dir;
  const fs::path system = dir.path() / "system";
  const fs::path elsewhere = dir.path() / "elsewhere";
  const fs::path site = dir.path() / "site";
  fs::create_directories(system);
  fs::create_directories(elsewhere);
  fs::create_directories(site / "static");
  fs::copy_file(test::helper_binary(), system / "curl.exe");
  // Planted where PATH leads first: it records that it ran.
  test::write_batch(elsewhere / "curl.bat", "echo planted>> \"%~dp0planted.log\"\n");
  test::write_file(site / "static/hello.txt", "hello");
  test::ScopedEnv stand_ins("VELLORA_SYSTEM_PROGRAMS", platform::path_text(system));
  test::ScopedEnv path("PATH", platform::path_text(elsewhere) + ";" + test::system_path());
  test::ScopedEnv served("FAKE_SITE", platform::path_text(site));

  const auto fetched = net::fetch_text("http://127.0.0.1:9/static/hello.txt");
  EXPECT_EQ(fetched ? *fetched : "Error: " + fetched.error(), "hello");
  EXPECT_FALSE(fs::exists(elsewhere / "planted.log"));
  const auto found = net::find_downloader();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->program, system / "curl.exe");

  fs::remove(system / "curl.exe");
  EXPECT_EQ(net::find_downloader()->program, elsewhere / "curl.bat");
}

}  // namespace
}  // namespace vellora
