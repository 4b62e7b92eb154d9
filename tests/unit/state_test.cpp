#include <gtest/gtest.h>

#include "agent/port.h"
#include "agent/run_agent.h"
#include "auth/registry.h"
#include "auth/tokens.h"
#include "cli/commands.h"
#include "dirs/dirs.h"
#include "dirs/settings.h"
#include "harness.h"

namespace vellora {
namespace {

using test::ScopedEnv;

TEST(Dirs, WriteAtomicCreatesParentsAndLeavesNoTemporary) {
  test::TempDir dir;
  const auto target = dir.path() / "new/dir/devices.json";
  ASSERT_TRUE(write_atomic(target, "one"));
  EXPECT_EQ(test::read_text(target), "one");
  ASSERT_TRUE(write_atomic(target, "two"));
  EXPECT_EQ(test::read_text(target), "two");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.parent_path()), {}), 1);
}

TEST(Settings, PolicyFileFormatAndFallback) {
  test::TempDir dir;
  EXPECT_EQ(load_policy(dir.path()), AutoUpdate::Notify);
  EXPECT_EQ(settings_text(AutoUpdate::On), "{\n  \"auto_update\": \"on\"\n}");
  const std::pair<const char*, AutoUpdate> cases[] = {
      {R"({"auto_update":"off","other":1})", AutoUpdate::Off},
      {R"({"auto_update":"on"})", AutoUpdate::On},
      {R"({"auto_update":"ON"})", AutoUpdate::Notify},
      {R"({"auto_update":1})", AutoUpdate::Notify},
      {R"(not json)", AutoUpdate::Notify},
      {R"({})", AutoUpdate::Notify},
  };
  for (const auto& [text, policy] : cases) {
    test::write_file(dir.path() / "settings.json", text);
    EXPECT_EQ(load_policy(dir.path()), policy) << text;
  }
}

TEST(Origins, ExtraOriginsAreTrimmedAndKeptInOrder) {
  const auto origins = origins_with_extra(" , https://a.example/ , ,, \u00a0http://b.example//");
  ASSERT_EQ(origins.size(), 9u);
  EXPECT_EQ(origins[3], "http://localhost:3000");
  EXPECT_EQ(origins[6], "http://127.0.0.1:3012");
  EXPECT_EQ(origins[7], "https://a.example");
  EXPECT_EQ(origins[8], "http://b.example");
  EXPECT_EQ(origins_with_extra("").size(), 7u);
}

TEST(StartupReport, EngineNamesArePaddedToEightColumns) {
  const std::vector<EngineInfo> engines = {{"agent-context", "ConTeXt", "mtx 1.0"},
                                           {"agent-x", "LongerName", ""}};
  EXPECT_EQ(startup_report(47474, engines),
            "vellora-agent 0.4.15 at http://127.0.0.1:47474\n"
            "To pair a browser: it asks for the code on the first compilation (or run: "
            "vellora-agent code).\n"
            "  ConTeXt  mtx 1.0\n"
            "  LongerName \n");
  EXPECT_TRUE(startup_report(1, {}).ends_with(
      "\nNo compiler found (latexmk + pdflatex/xelatex/lualatex, tectonic or ConTeXt).\n"));
}

TEST(Listings, Engines) {
  EXPECT_EQ(
      engines_listing({}),
      "No compiler found (needs latexmk + pdflatex/xelatex/lualatex, tectonic or ConTeXt).\n");
  EXPECT_EQ(engines_listing(
                {{"agent-pdflatex", "pdfLaTeX", "pdfTeX 3.14"}, {"agent-context", "ConTeXt", ""}}),
            "agent-pdflatex   pdfLaTeX   pdfTeX 3.14\n"
            "agent-context    ConTeXt    \n");
}

TEST(Tokens, CodesNormaliseToLettersAndDigits) {
  EXPECT_EQ(normalize_code("abcd efgh-jk\u00e9lm!"), "ABCDEFGHJKLM");
  EXPECT_TRUE(constant_time_equal("abc", "abc"));
  EXPECT_FALSE(constant_time_equal("abc", "abd"));
  EXPECT_FALSE(constant_time_equal("abc", "ab"));
  EXPECT_EQ(token_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Registry, IssuedDeviceMatchesItsToken) {
  const auto [token, device] = issue_device(std::string(70, 'o') + "\u00e9", 42);
  EXPECT_EQ(device.hash, token_hash(token));
  EXPECT_EQ(device.id, device.hash.substr(0, 8));
  EXPECT_EQ(device.label, std::string(60, 'o'));
  EXPECT_EQ(device.created, 42u);
  EXPECT_EQ(device.last_used, 42u);
  EXPECT_NE(issue_device("", 0).first, token);
}

TEST(Registry, RecordsReadAsObjectsOrArrays) {
  test::TempDir dir;
  test::write_file(
      dir.path() / "devices.json",
      R"({"devices":[["abcd1234","h","l",1,2],{"id":"x","hash":"h","label":"","created":3,"last_used":4,"more":[]}]})");
  const auto devices = load_devices(dir.path());
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0], (Device{"abcd1234", "h", "l", 1, 2}));
  test::write_file(dir.path() / "devices.json",
                   R"({"devices":[{"id":"x","hash":"h","created":3,"last_used":4}]})");
  EXPECT_TRUE(load_devices(dir.path()).empty());
  test::write_file(dir.path() / "devices.json", R"({"devices":[]} x)");
  EXPECT_TRUE(load_devices(dir.path()).empty());

  save_pending(dir.path(), {"ABCD-EFGH-JKLM", 1700000000, 3});
  EXPECT_EQ(test::read_text(dir.path() / "pairing.json"),
            R"({"code":"ABCD-EFGH-JKLM","expires":1700000000,"attempts":3})");
  test::write_file(dir.path() / "pairing.json", R"(["ABCD-EFGH-JKLM",5,1])");
  const auto pending = load_pending(dir.path());
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->attempts, 1u);
}

}  // namespace
}  // namespace vellora
