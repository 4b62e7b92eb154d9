// The state files shared by the agent and the commands: failed writes are reported, concurrent
// writers do not undo each other, a malformed registry is kept aside, stale upload files go.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <future>
#include <thread>

#include "auth/tokens.h"
#include "harness.h"

namespace vellora::test {
namespace {

using namespace std::chrono_literals;

#ifndef VELLORA_AGENT_BINARY
#error "VELLORA_AGENT_BINARY must name the agent under test"
#endif
const char* const AGENT_BINARY = VELLORA_AGENT_BINARY;

const Headers PAGE = {{"Origin", "http://localhost:3000"}};

// A device record whose token the test knows.
struct KnownDevice {
  std::string token;
  std::string id;
  std::string json(std::uint64_t last_used) const {
    return R"({"id":")" + id + R"(","hash":")" + sha256_of(token) +
           R"(","label":"http://localhost:3000","created":1,"last_used":)" +
           std::to_string(last_used) + "}";
  }
};

KnownDevice known_device(int n) {
  std::string token = "vat_" + sha256_of("device " + std::to_string(n));
  return {token, sha256_of(token).substr(0, 8)};
}

void write_devices(const Agent& agent, const std::vector<std::string>& records) {
  std::string text = R"({"devices":[)";
  for (std::size_t i = 0; i < records.size(); ++i) text += (i ? "," : "") + records[i];
  write_file(agent.config_dir() / "devices.json", text + "]}");
}

bool authenticates(const Agent& agent, const std::string& token) {
  return agent.post_auth("/v1/prepare", R"({"files":[]})", token).status == 200;
}

// While it exists, files written by this process, by its children and by the given process
// cannot grow past zero bytes: every write of a state file fails (as on a full disk) while the
// lock file, which is never written to, still works.
class NoFileWrites {
 public:
  explicit NoFileWrites(pid_t agent) : agent_(agent) {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the writer
    const rlimit none{0, RLIM_INFINITY};
    ::prlimit(0, RLIMIT_FSIZE, &none, &saved_);
    if (agent_ > 0) ::prlimit(agent_, RLIMIT_FSIZE, &none, nullptr);
  }
  ~NoFileWrites() {
    ::prlimit(0, RLIMIT_FSIZE, &saved_, nullptr);
    if (agent_ > 0) ::prlimit(agent_, RLIMIT_FSIZE, &saved_, nullptr);
  }

 private:
  pid_t agent_;
  rlimit saved_{};
};

TEST(StateFiles, CommandsReportWritesThatFail) {
  Agent agent;
  const auto device = known_device(1);
  write_devices(agent, {device.json(now_secs())});
  ASSERT_TRUE(agent.start()) << agent.errors();
  struct Case {
    std::vector<std::string> args;
  } cases[] = {{{"revoke", device.id}}, {{"revoke", "all"}}, {{"code"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    platform::RunResult result;
    {
      NoFileWrites no_writes(-1);
      result = agent.run(c.args);
    }
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("Error: could not save ")) << result.err;
    EXPECT_TRUE(authenticates(agent, device.token));
    EXPECT_FALSE(std::filesystem::exists(agent.config_dir() / "pairing.json"));
  }
  // Nothing is left behind by the failed writes.
  for (const auto& entry : std::filesystem::directory_iterator(agent.config_dir()))
    EXPECT_FALSE(entry.path().extension() == ".tmp") << entry.path();
}

TEST(StateFiles, EndpointsAnswer500WhenTheirChangeIsNotStored) {
  Agent agent;
  write_script(agent.bin() / "notify-send", "touch \"$0.called\"\n");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  const std::string code = agent.run({"code"}).out.substr(0, 14);
  {
    NoFileWrites no_writes(agent.pid());

    auto reply = agent.post("/v1/unpair", "", {{"Authorization", "Bearer " + token}});
    EXPECT_EQ(reply.status, 500u) << reply.body;
    EXPECT_TRUE(std::string(reply.json().at("error").as_string()).starts_with("could not save"));

    reply = agent.post("/v1/pair/confirm", json::serialize(json::object{{"code", code}}), PAGE);
    EXPECT_EQ(reply.status, 500u) << reply.body;
    EXPECT_EQ(reply.body.find("token"), std::string::npos) << reply.body;

    reply = agent.post("/v1/pair/request", "", PAGE);
    EXPECT_EQ(reply.status, 500u) << reply.body;
    EXPECT_FALSE(std::filesystem::exists(agent.bin() / "notify-send.called"));
  }
  // The unpaired token still works, and the code that was not traded is still good.
  EXPECT_TRUE(authenticates(agent, token));
  const auto reply =
      agent.post("/v1/pair/confirm", json::serialize(json::object{{"code", code}}), PAGE);
  EXPECT_EQ(reply.status, 200u) << reply.body;
}

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

TEST(StateFiles, OutputThatCannotBeWrittenFailsTheCommand) {
  Agent agent;
  const std::vector<std::vector<std::string>> commands = {
      {"--version"}, {"help"}, {"devices"}, {"revoke", "nothing"}};
  for (const auto& args : commands) {
    // Through a shell that sends standard output to a full disk.
    platform::Command command;
    command.program = "/bin/sh";
    command.args = {"-c", "exec \"$0\" \"$@\" > /dev/full", AGENT_BINARY};
    command.args.insert(command.args.end(), args.begin(), args.end());
    command.capture_output = true;
    command.env = {{"XDG_CONFIG_HOME", (agent.root() / "config").string()},
                   {"XDG_CACHE_HOME", (agent.root() / "cache").string()},
                   {"HOME", agent.home().string()}};
    platform::RunOptions options;
    options.time_limit = std::chrono::seconds(60);
    const auto result = platform::run(command, options);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exit_code, 1) << args[0];
    EXPECT_TRUE(result->err.starts_with("Error: could not write the output")) << result->err;
  }
}

}  // namespace
}  // namespace vellora::test
