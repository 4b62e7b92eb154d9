// The maintenance commands run against the state files an agent shares with them.

#include <gtest/gtest.h>

#include <set>

#include "auth/tokens.h"
#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

TEST(Cli, CodeCommandPrintsACodeTheAgentAccepts) {
  Agent agent;
  ASSERT_TRUE(agent.start());
  const auto result = agent.run({"code"});
  EXPECT_EQ(result.exit_code, 0);
  ASSERT_EQ(result.out.size(), 15u + 48u) << result.out;
  EXPECT_TRUE(result.out.ends_with("\n(valid for 5 minutes and can only be used once)\n"));
  const std::string code = result.out.substr(0, 14);
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (i == 4 || i == 9) {
      EXPECT_EQ(code[i], '-');
    } else {
      EXPECT_NE(std::string_view("ABCDEFGHJKLMNPQRSTUVWXYZ23456789").find(code[i]),
                std::string_view::npos)
          << code;
    }
  }
  const auto reply = agent.post("/v1/pair/confirm", json::serialize(json::object{{"code", code}}),
                                {{"Origin", "http://localhost:3000"}});
  EXPECT_EQ(reply.status, 200u) << reply.body;
}

TEST(Cli, DevicesListsLegacyThenDevices) {
  Agent agent;
  EXPECT_EQ(agent.run({"devices"}).out, "No paired browsers.\n");
  const std::uint64_t now = now_secs();
  write_file(
      agent.config_dir() / "devices.json",
      R"({"devices":[{"id":"0123abcd","hash":"h","label":"http://localhost:3000","created":)" +
          std::to_string(now - 3 * 86400 - 5) + R"(,"last_used":)" + std::to_string(now + 100) +
          R"(},["89abcdef","h","https://a-very-long-origin.example.com","1","2"],)" +
          R"({"id":"ffff0000","hash":"h","label":"https://a-very-long-origin.example.com","created":)" +
          std::to_string(now) + R"(,"last_used":)" + std::to_string(now) + "}]}");
  // One malformed device (numbers as strings) makes the whole file read as empty.
  EXPECT_EQ(agent.run({"devices"}).out, "No paired browsers.\n");

  write_file(
      agent.config_dir() / "devices.json",
      R"({"devices":[{"id":"0123abcd","hash":"h","label":"http://localhost:3000","extra":1,"created":)" +
          std::to_string(now - 3 * 86400 - 5) + R"(,"last_used":)" + std::to_string(now + 100) +
          R"(},{"id":"ffff0000","hash":"h","label":"https://a-very-long-origin.example.com","created":)" +
          std::to_string(now) + R"(,"last_used":)" + std::to_string(now) + "}]}");
  write_file(agent.config_dir() / "config.json", R"({"token":"OLD"})");
  EXPECT_EQ(agent.run({"devices"}).out,
            "legacy     -                        old permanent code (revoke with: vellora-agent "
            "revoke legacy)\n"
            "0123abcd   http://localhost:3000    paired 3 days ago, last used 0 days ago\n"
            "ffff0000   https://a-very-long-origin.example.com paired 0 days ago, last used 0 days "
            "ago\n");
}

TEST(Cli, RevokeOneLegacyOrAll) {
  Agent agent;
  const auto devices = [&](std::initializer_list<const char*> ids) {
    std::string text = R"({"devices":[)";
    bool first = true;
    for (const char* id : ids) {
      text += std::string(first ? "" : ",") + R"({"id":")" + id +
              R"(","hash":"h","label":"l","created":1,"last_used":)" + std::to_string(now_secs()) +
              "}";
      first = false;
    }
    write_file(agent.config_dir() / "devices.json", text + "]}");
  };
  devices({"aaaaaaaa", "bbbbbbbb", "aaaaaaaa"});
  EXPECT_EQ(agent.run({"revoke", "aaaaaaaa"}).out, "2 access(es) revoked.\n");
  EXPECT_EQ(agent.run({"revoke", "cccccccc"}).out, "0 access(es) revoked.\n");
  EXPECT_EQ(agent.run({"revoke", "legacy"}).out, "0 access(es) revoked.\n");
  write_file(agent.config_dir() / "config.json", R"({"token":"OLD"})");
  EXPECT_EQ(agent.run({"revoke", "legacy"}).out, "1 access(es) revoked.\n");

  devices({"aaaaaaaa", "bbbbbbbb", "cccccccc"});
  write_file(agent.config_dir() / "config.json", R"({"token":"OLD"})");
  write_file(agent.config_dir() / "pairing.json",
             R"({"code":"AAAA-BBBB-CCCC","expires":1,"attempts":0})");
  EXPECT_EQ(agent.run({"revoke", "all"}).out, "4 access(es) revoked.\n");
  EXPECT_EQ(read_text(agent.config_dir() / "devices.json"), "{\n  \"devices\": []\n}");
  EXPECT_FALSE(std::filesystem::exists(agent.config_dir() / "config.json"));
  EXPECT_FALSE(std::filesystem::exists(agent.config_dir() / "pairing.json"));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"revoke"}, {"revoke", ""}}) {
    const auto result = agent.run(args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "usage: vellora-agent revoke <id|legacy|all>\n");
  }
}

TEST(Cli, DevicesFileIsPrettyInFieldOrder) {
  Agent agent;
  ASSERT_TRUE(agent.start());
  const std::string token = agent.pair();
  const std::string text = read_text(agent.config_dir() / "devices.json");
  const std::string hash = sha256_of(token);
  const auto parsed = json::parse(text);
  const auto created = parsed.at("devices").at(0).at("created").as_int64();
  EXPECT_EQ(text, "{\n  \"devices\": [\n    {\n      \"id\": \"" + hash.substr(0, 8) +
                      "\",\n      \"hash\": \"" + hash +
                      "\",\n      \"label\": \"http://localhost:3000\",\n      \"created\": " +
                      std::to_string(created) +
                      ",\n      \"last_used\": " + std::to_string(created) + "\n    }\n  ]\n}");
}

TEST(Cli, EnginesListsWhatThisMachineHas) {
  Agent agent;
  write_fake(agent.bin(), "tectonic", {"echo 'Tectonic 0.15.0'\n", "echo Tectonic 0.15.0\n"});
  const auto result = agent.run({"engines", "ignored"});
  EXPECT_EQ(result.exit_code, 0);
  if (platform::on_windows()) {
    // No TeX distribution here: only the fake.
    EXPECT_EQ(result.out, "agent-tectonic   Tectonic   Tectonic 0.15.0\n");
    return;
  }
  // TeX Live's four engines, then the fake Tectonic, in the fixed order.
  const std::string& out = result.out;
  const auto at = [&](const char* line) { return out.find(line); };
  ASSERT_NE(at("agent-pdflatex   pdfLaTeX   pdfTeX "), std::string::npos) << out;
  EXPECT_LT(at("agent-pdflatex"), at("agent-xelatex    XeLaTeX    XeTeX "));
  EXPECT_LT(at("agent-xelatex"), at("agent-lualatex   LuaLaTeX   "));
  EXPECT_LT(at("agent-lualatex"), at("agent-tectonic   Tectonic   Tectonic 0.15.0\n"));
  EXPECT_LT(at("agent-tectonic"), at("agent-context    ConTeXt    "));
}

// Every file of the user's home and the agent's directories with its content: what a command that
// changes nothing leaves alone. (The harness keeps its own files beside them.)
std::map<std::string, std::string> tree(const Agent& agent) {
  std::map<std::string, std::string> files;
  const fs::path& root = agent.root();
  for (const fs::path& top : {agent.home(), agent.config_dir(), agent.cache_dir()}) {
    if (!fs::exists(top)) continue;
    files[top.lexically_relative(root).generic_string()] = "(dir)";
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
      const std::string name = entry.path().lexically_relative(root).generic_string();
      files[name] = entry.is_regular_file() ? read_text(entry.path()) : "(dir)";
    }
  }
  return files;
}

const std::vector<std::string> WORDS = {
    "code",    "devices",       "revoke",      "engines",   "install-tinytex", "uninstall-tinytex",
    "install", "update",        "auto-update", "rollback",  "status",          "uninstall",
    "launch",  "finish-update", "-V",          "--version", "version",         "-h",
    "--help",  "help"};

// `<word> --help` shows the word's usage and does nothing else: not even the commands that
// change the machine at once (install, uninstall, rollback, launch) run.
TEST(Cli, HelpAfterAnyWordShowsItsUsageAndChangesNothing) {
  Agent agent;
  agent.set_env("VELLORA_SYSTEMCTL", (agent.bin() / "no-systemctl").string());
  agent.set_env("VELLORA_SITE", "http://127.0.0.1:9");
  // An installed copy with a saved previous version, where each platform keeps it.
  for (const fs::path& dir : {agent.home() / ".local/lib/vellora-agent",
                              agent.home() / "AppData/Local/Programs/vellora-agent"}) {
    for (const char* name : {"vellora-agent", "vellora-agent.exe", "vellora-agent.prev"})
      write_file(dir / name, "installed copy");
  }
  write_file(agent.config_dir() / "devices.json", R"({"devices":[]})");
  const auto before = tree(agent);
  for (const std::string& word : WORDS) {
    for (const std::vector<std::string>& rest : {std::vector<std::string>{"--help"},
                                                 {"-h"},
                                                 {"--yes", "--help"},
                                                 {"all", "-h", "--bogus"}}) {
      std::vector<std::string> args{word};
      args.insert(args.end(), rest.begin(), rest.end());
      SCOPED_TRACE(word + " " + rest.front());
      const auto result = agent.run(args);
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(result.err, "");
      const std::string out = console_text(result.out);
      const std::string listed = word == "-V" || word == "version" ? "--version"
                                 : word == "-h" || word == "help"  ? "--help"
                                                                   : word;
      EXPECT_TRUE(out.starts_with("usage: vellora-agent " + listed)) << out;
      // Whether it asks before changing anything, or that it changes nothing.
      EXPECT_TRUE(out.find("ask") != std::string::npos || out.find("Ask") != std::string::npos ||
                  out.find("Changes nothing") != std::string::npos)
          << out;
    }
  }
  EXPECT_EQ(tree(agent), before);
  EXPECT_EQ(console_text(agent.run({"help", "uninstall"}).out),
            console_text(agent.run({"uninstall", "--help"}).out));
  const auto no_such = agent.run({"help", "frobnicate"});
  EXPECT_EQ(no_such.exit_code, 2);
  EXPECT_EQ(console_text(no_such.err),
            "Error: there is no command frobnicate; see vellora-agent --help\n");
}

TEST(Cli, UnknownOptionAfterAWordIsAnErrorThatChangesNothing) {
  Agent agent;
  agent.set_env("VELLORA_SYSTEMCTL", (agent.bin() / "no-systemctl").string());
  write_file(agent.home() / ".local/lib/vellora-agent/vellora-agent", "installed copy");
  write_file(agent.config_dir() / "devices.json", R"({"devices":[]})");
  const auto before = tree(agent);
  const struct {
    std::vector<std::string> args;
    std::string option;
  } cases[] = {{{"uninstall", "--x"}, "--x"},          {{"install", "-f"}, "-f"},
               {{"rollback", "--force"}, "--force"},   {{"update", "-y", "--quiet"}, "--quiet"},
               {{"auto-update", "--on"}, "--on"},      {{"revoke", "--all"}, "--all"},
               {{"launch", "--no-tray"}, "--no-tray"}, {{"version", "-x"}, "-x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const auto result = agent.run(c.args);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(console_text(result.err), "Error: unknown option " + c.option + " for " +
                                            c.args.front() + "; see vellora-agent " +
                                            c.args.front() + " --help\n");
  }
  EXPECT_EQ(tree(agent), before);
  // "--yes" and "-y" are read everywhere, and other words after a command are left alone.
  EXPECT_EQ(agent.run({"devices", "--yes", "-y", "extra", "-"}).exit_code, 0);
}

TEST(Cli, TopLevelHelpListsEveryWordAfterTheUsageLine) {
  Agent agent;
  const auto result = agent.run({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  const std::string out = console_text(result.out);
  EXPECT_TRUE(out.starts_with(
      "vellora-agent [code|devices|revoke|engines|install-tinytex|uninstall-tinytex|install|"
      "update|auto-update|rollback|status|uninstall|--version]\nWithout an argument, it runs the "
      "agent on 127.0.0.1:" +
      std::to_string(agent.port()) + ".\n"))
      << out;
  for (const std::string& word : WORDS) {
    if (word == "-V" || word == "version" || word == "-h" || word == "help") continue;
    EXPECT_NE(out.find("\n  " + word + " "), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace vellora::test
