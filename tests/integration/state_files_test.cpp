// The state files shared by the agent and the commands: concurrent writers do not undo each
// other, a malformed registry is kept aside, stale upload files go.

#include "state_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "auth/tokens.h"
#include "harness.h"

namespace vellora::test {
namespace {

using namespace std::chrono_literals;

TEST(StateFiles, RevokeBesideTheAgentIsNeverUndone) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  // Every authentication of a "used" device records its use; every revoke removes one "gone"
  // device. Without one lock between the processes, a write of one side based on an older read
  // brings back revoked devices or loses recorded uses.
  constexpr int DEVICES = 10;
  for (int trial = 0; trial < 4; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::vector<KnownDevice> used, gone;
    std::vector<std::string> records;
    const std::uint64_t long_ago = now_secs() - 3600;
    for (int i = 0; i < DEVICES; ++i) {
      used.push_back(known_device(trial * 100 + i));
      gone.push_back(known_device(trial * 100 + 50 + i));
      records.push_back(used.back().json(long_ago));
      records.push_back(gone.back().json(long_ago));
    }
    write_devices(agent, records);

    auto revoking = std::async(std::launch::async, [&] {
      for (const auto& d : gone) agent.run({"revoke", d.id});
    });
    std::vector<std::future<bool>> requests;
    for (const auto& d : used)
      requests.push_back(std::async(std::launch::async, [&] {
        for (int i = 0; i < 3; ++i) {
          if (!authenticates(agent, d.token)) return false;
          std::this_thread::sleep_for(5ms);
        }
        return true;
      }));
    revoking.get();
    for (auto& r : requests) EXPECT_TRUE(r.get());

    const auto file = json::parse(read_text(agent.config_dir() / "devices.json"));
    const auto& list = file.at("devices").as_array();
    EXPECT_EQ(list.size(), static_cast<std::size_t>(DEVICES)) << json::serialize(file);
    for (const auto& d : list)
      EXPECT_GT(d.at("last_used").as_int64(), static_cast<std::int64_t>(long_ago))
          << json::serialize(d);
  }
}

TEST(StateFiles, MalformedRegistryIsMovedAsideBeforeItIsReplaced) {
  const KnownDevice device = known_device(7);
  const std::string good = device.json(now_secs());
  struct Case {
    const char* what;
    const char* file;
    std::string content;
    std::vector<std::string> command;  // what replaces the file
  } cases[] = {
      {"one bad record",
       "devices.json",
       R"({"devices":[)" + good +
           R"(,{"id":"x","hash":"y","label":"z","created":"1","last_used":2}]})",
       {"revoke", "nothing"}},
      {"cut short", "devices.json", R"({"devices":[)" + good.substr(0, 40), {"revoke", "all"}},
      {"not JSON", "pairing.json", "code: ABCD", {"code"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Agent agent;
    write_file(agent.config_dir() / (std::string(c.file) + ".bad"), "an older one");
    write_file(agent.config_dir() / c.file, c.content);
    // The rule stays: a malformed registry authenticates nobody.
    if (std::string(c.file) == "devices.json") {
      ASSERT_TRUE(agent.start()) << agent.errors();
      EXPECT_FALSE(authenticates(agent, device.token));
    }
    const auto result = agent.run(c.command);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_text(agent.config_dir() / (std::string(c.file) + ".bad")), c.content);
    EXPECT_NE(result.err.find(std::string(c.file) + " was malformed"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("moved aside to"), std::string::npos) << result.err;
    // The new file is well formed and a second write keeps the saved copy.
    EXPECT_EQ(agent.run(c.command).err, "");
    EXPECT_EQ(read_text(agent.config_dir() / (std::string(c.file) + ".bad")), c.content);
  }
}

TEST(StateFiles, PairingOverAMalformedRegistryKeepsTheOldFile) {
  Agent agent;
  write_file(agent.config_dir() / "devices.json", R"({"devices":[{"id":"cut)");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  EXPECT_TRUE(authenticates(agent, token));
  EXPECT_EQ(read_text(agent.config_dir() / "devices.json.bad"), R"({"devices":[{"id":"cut)");
  EXPECT_NE(agent.errors().find("moved aside"), std::string::npos) << agent.errors();
}

TEST(StateFiles, StartUpRemovesOnlyStaleUploadTemporaries) {
  Agent agent;
  const auto blobs = agent.cache_dir() / "blobs";
  const std::string blob = "blob";
  struct Case {
    std::string name;
    std::chrono::minutes age;
    bool kept;
  } cases[] = {
      {".tmp-0123456789abcdef", std::chrono::minutes(120), false},
      {".tmp-fedcba9876543210", std::chrono::minutes(61), false},
      {".tmp-00000000ffffffff", std::chrono::minutes(5), true},
      {sha256_of(blob), std::chrono::minutes(600), true},
  };
  for (const auto& c : cases) {
    write_file(blobs / c.name, blob);
    std::filesystem::last_write_time(blobs / c.name,
                                     std::filesystem::file_time_type::clock::now() - c.age);
  }
  ASSERT_TRUE(agent.start()) << agent.errors();
  for (const auto& c : cases) EXPECT_EQ(std::filesystem::exists(blobs / c.name), c.kept) << c.name;
}

}  // namespace
}  // namespace vellora::test
