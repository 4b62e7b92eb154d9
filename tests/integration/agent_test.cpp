// Agent mode and the small commands of the real binary: start-up report, port, a taken port.

#include <gtest/gtest.h>

#include "common/text.h"
#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

const FakeProgram FAKE_TECTONIC = {"echo 'Tectonic 0.15.0'\n", "echo Tectonic 0.15.0\n"};

TEST(AgentMode, StartupReportNamesTheAddressAndTheEngines) {
  Agent agent;
  write_fake(agent.bin(), "tectonic", FAKE_TECTONIC);
  ASSERT_TRUE(agent.start({"--no-tray"}));
  const std::string output = agent.output();
  const auto lines = split_lines(output);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "vellora-agent 0.4.15 at http://127.0.0.1:" + std::to_string(agent.port()));
  EXPECT_EQ(lines[1],
            "To pair a browser: it asks for the code on the first compilation (or run: "
            "vellora-agent code).");
  // One line per engine, the name padded to 8 columns; on Linux this machine has TeX Live.
  if (!platform::on_windows()) {
    EXPECT_TRUE(lines[2].starts_with("  pdfLaTeX ")) << lines[2];
  }
  EXPECT_NE(output.find("\n  Tectonic Tectonic 0.15.0\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("System tray icon"), std::string::npos);
  EXPECT_EQ(agent.errors(), "");
}

TEST(AgentMode, UnknownWordsStartTheAgent) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"background", "--no-tray"},
                                               {"Code", "--no-tray"},
                                               {"--yes", "install-tinytex", "--no-tray"}}) {
    Agent agent;
    EXPECT_TRUE(agent.start(args)) << args[0];
  }
}

TEST(AgentMode, ATakenPortEndsTheSecondAgentWithStatusOne) {
  Agent first;
  ASSERT_TRUE(first.start());
  Agent second;
  second.set_env("VELLORA_AGENT_PORT", std::to_string(first.port()));
  EXPECT_FALSE(second.start());
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_EQ(second.output(), "");
  const std::string prefix = "Could not listen on 127.0.0.1:" + std::to_string(first.port()) + ": ";
  const std::string errors = second.errors();
  EXPECT_TRUE(errors.starts_with(prefix)) << errors;
  EXPECT_TRUE(errors.ends_with(" (is the agent already running?)\n")) << errors;
  if (!platform::on_windows()) {
    EXPECT_EQ(errors, prefix + "Address already in use (is the agent already running?)\n");
  }
}

TEST(Commands, PortComesFromTheEnvironmentOrDefaults) {
  const std::pair<const char*, const char*> cases[] = {
      {"+8080", "8080"}, {" 8080", "47474"}, {"8080x", "47474"}, {"70000", "47474"},
      {"", "47474"},     {"0", "0"},         {"65535", "65535"}, {"00080", "80"},
  };
  Agent agent;
  for (const auto& [value, port] : cases) {
    agent.set_env("VELLORA_AGENT_PORT", value);
    const auto result = agent.run({"help"});
    // The usage line and the port; the list of commands follows.
    const std::string out = console_text(result.out);
    EXPECT_EQ(out.substr(0, out.find("\n\n") + 1),
              "vellora-agent "
              "[code|devices|revoke|engines|install-tinytex|uninstall-tinytex|install|update|"
              "auto-update|rollback|status|uninstall|--version]\nWithout an argument, it runs the "
              "agent on "
              "127.0.0.1:" +
                  std::string(port) + ".\n")
        << "'" << value << "'";
  }
  agent.unset_env("VELLORA_AGENT_PORT");
  EXPECT_NE(agent.run({"--help"}).out.find("127.0.0.1:47474."), std::string::npos);
}

TEST(Commands, VersionWords) {
  Agent agent;
  for (const char* word : {"-V", "--version", "version"}) {
    const auto result = agent.run({word});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "vellora-agent 0.4.15\n");
  }
}

}  // namespace
}  // namespace vellora::test
