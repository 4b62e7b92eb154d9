// Failed writes of the state files and of the commands' output are reported: a file-size limit
// and /dev/full stand in for a full disk.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "auth/tokens.h"
#include "harness.h"
#include "state_files.h"

namespace vellora::test {
namespace {

#ifndef VELLORA_AGENT_BINARY
#error "VELLORA_AGENT_BINARY must name the agent under test"
#endif
const char* const AGENT_BINARY = VELLORA_AGENT_BINARY;

const Headers PAGE = {{"Origin", "http://localhost:3000"}};

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
