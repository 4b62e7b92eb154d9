// Where the per-user directories are, and how a state file write fails.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include "cli/commands.h"
#include "dirs/dirs.h"
#include "harness.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

struct DirsCase {
  const char* what;
  std::vector<std::pair<const char*, std::optional<std::string>>> env;
  fs::path home, config, cache;
};

void check_dirs(const std::vector<DirsCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const char* name :
         {"HOME", "USERPROFILE", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "APPDATA", "LOCALAPPDATA"})
      env.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    for (const auto& [name, value] : c.env) env.push_back(std::make_unique<ScopedEnv>(name, value));
    EXPECT_EQ(home_dir(), c.home);
    EXPECT_EQ(config_dir(), c.config);
    EXPECT_EQ(cache_dir(), c.cache);
  }
}

#ifdef _WIN32
TEST(Dirs, WindowsVariablesWithXdgFirst) {
  const fs::path c = "C:\\";
  check_dirs({
      {"XDG over APPDATA",
       {{"HOME", "/home/u"},
        {"XDG_CONFIG_HOME", "/xdg/config"},
        {"APPDATA", "/win/roaming"},
        {"LOCALAPPDATA", "/win/local"}},
       "/home/u",
       "/xdg/config/vellora-agent",
       "/win/local/vellora-agent"},
      {"USERPROFILE over HOME",
       {{"HOME", "/home/u"}, {"USERPROFILE", "/profile"}},
       "/profile",
       fs::path("/profile") / "AppData/Roaming" / "vellora-agent",
       fs::path("/profile") / "AppData/Local" / "vellora-agent"},
      {"nothing set",
       {},
       c,
       c / "AppData/Roaming" / "vellora-agent",
       c / "AppData/Local" / "vellora-agent"},
  });
}
#else
TEST(Dirs, LinuxFollowsTheXdgRules) {
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr);
  const fs::path account_home = account->pw_dir;
  check_dirs({
      {"defaults under HOME",
       {{"HOME", "/home/u"}},
       "/home/u",
       "/home/u/.config/vellora-agent",
       "/home/u/.cache/vellora-agent"},
      {"XDG variables",
       {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/xdg/config"}, {"XDG_CACHE_HOME", "/xdg/cache"}},
       "/home/u",
       "/xdg/config/vellora-agent",
       "/xdg/cache/vellora-agent"},
      {"empty or relative XDG variables do not count",
       {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", ""}, {"XDG_CACHE_HOME", "cache"}},
       "/home/u",
       "/home/u/.config/vellora-agent",
       "/home/u/.cache/vellora-agent"},
      {"Windows variables do not count",
       {{"HOME", "/home/u"},
        {"USERPROFILE", "/profile"},
        {"APPDATA", "/roaming"},
        {"LOCALAPPDATA", "/local"}},
       "/home/u",
       "/home/u/.config/vellora-agent",
       "/home/u/.cache/vellora-agent"},
      {"no HOME: the account's home",
       {},
       account_home,
       account_home / ".config" / "vellora-agent",
       account_home / ".cache" / "vellora-agent"},
      {"empty HOME: the account's home",
       {{"HOME", ""}},
       account_home,
       account_home / ".config" / "vellora-agent",
       account_home / ".cache" / "vellora-agent"},
  });
}
#endif

TEST(Dirs, FailedWritesAreReportedAndChangeNothing) {
  test::TempDir dir;
  const fs::path target = dir.path() / "devices.json";
  ASSERT_TRUE(write_atomic(target, "old"));
  test::write_file(dir.path() / "file", "x");
  fs::create_directories(dir.path() / "full-dir" / "entry");
  struct Case {
    const char* what;
    fs::path path;
  } cases[] = {
      {"parent is a file", dir.path() / "file" / "devices.json"},
      {"target is a directory that is not empty", dir.path() / "full-dir"},
  };
  for (const auto& c : cases) {
    const auto written = write_atomic(c.path, "new");
    ASSERT_FALSE(written) << c.what;
    EXPECT_TRUE(written.error().starts_with("could not save " + c.path.string()))
        << written.error();
  }
  EXPECT_EQ(test::read_text(target), "old");
  // No temporary file is left: the directory holds what the test put there.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);
}

TEST(Listings, DeviceLabelsArePaddedByCharacters) {
  const std::vector<Device> devices = {{"0123abcd", "h", "https://café.example", 0, 0},
                                       {"89abcdef", "h", "https://cafe.example", 0, 0}};
  EXPECT_EQ(devices_listing(devices, false, 0),
            "0123abcd   https://café.example     paired 0 days ago, last used 0 days ago\n"
            "89abcdef   https://cafe.example     paired 0 days ago, last used 0 days ago\n");
}

}  // namespace
}  // namespace vellora
