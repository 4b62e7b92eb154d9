// The pieces of self-update and service registration: manifest rules, version order, the safe
// replacement of an executable, the trial run, the status probe, the registration texts and the
// update checker.

#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "service/binary.h"
#include "service/checker.h"
#include "service/manifest.h"
#include "service/probe.h"
#include "service/unit_files.h"
#include "service/update.h"
#include "service/update_actions.h"
#include "service/update_state.h"
#include "service/windows_programs.h"
#include "service_support.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;
const std::string DIGEST(64, 'a');

TEST(Manifest, Validation) {
  const std::string bad_digest =
      "version.json without a valid SHA-256 for this platform: I will not update without being "
      "able to verify";
  const struct {
    std::string text;
    std::string error;  // empty: valid
  } cases[] = {
      {R"({"version":"0.4.16","sha256_linux":")" + DIGEST + R"(","other":1})", ""},
      {R"({"version":"1","sha256_linux":")" + std::string(64, 'F') + R"("})", ""},
      {R"({"version":"0.5","sha256_linux":")" + DIGEST + R"("})", ""},
      {R"({"version":"12345678901234567.89","sha256_linux":")" + DIGEST + R"("})", ""},
      {R"({"version":"123456789012345678.90","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":"0.4.15.1","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":"0.4.16-rc1","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":"0..1","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":"0.4.","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":"v1","sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"version":1,"sha256_linux":")" + DIGEST + R"("})",
       "version.json without a valid version"},
      {R"({"sha256_linux":")" + DIGEST + R"("})", "version.json without a valid version"},
      {R"({"version":"1.0","sha256_linux":")" + std::string(63, 'a') + R"("})", bad_digest},
      {R"({"version":"1.0","sha256_linux":")" + std::string(65, 'a') + R"("})", bad_digest},
      {R"({"version":"1.0","sha256_linux":")" + std::string(63, 'a') + R"(g"})", bad_digest},
      {R"({"version":"1.0","sha256_windows":")" + DIGEST + R"("})", bad_digest},
      {R"(["1.0"])", "version.json without a valid version"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_manifest(c.text);
    EXPECT_EQ(parsed.has_value(), c.error.empty()) << c.text;
    if (!parsed) {
      EXPECT_EQ(parsed.error(), c.error) << c.text;
    }
  }
  const auto upper =
      parse_manifest(R"({"version":"1","sha256_linux":")" + std::string(64, 'F') + R"("})");
  EXPECT_EQ(upper->sha256, std::string(64, 'f'));
  EXPECT_EQ(
      parse_manifest(R"({"version":"1","sha256_windows":")" + DIGEST + R"("})", "sha256_windows")
          ->version,
      "1");
  EXPECT_TRUE(parse_manifest("<html>").error().starts_with("invalid version.json: "));
}

TEST(Manifest, IsNewer) {
  const struct {
    const char* candidate;
    const char* current;
    bool newer;
  } cases[] = {{"0.4.16", "0.4.15", true},
               {"0.4.15", "0.4.15", false},
               {"0.10.0", "0.9.9", true},
               {"1.0", "1.0.0", false},
               {"1.0.1", "1.0", true},
               {"1.0.0-beta", "1.0.0", false},
               {"1.0.1+build", "1.0.0", true},
               {"0.4.14", "0.4.15", false},
               {"x.5", "0.4", true},
               {"2", "10", false},
               {"99999999999999999999", "1", false}};
  for (const auto& c : cases)
    EXPECT_EQ(is_newer(c.candidate, c.current), c.newer) << c.candidate << " vs " << c.current;
}

TEST(TrialRun, HangingBinaryIsStoppedAndDeleted) {
  test::TempDir dir;
  const fs::path file = dir.path() / "vellora-agent-0.4.16";
  test::write_file(file, "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 300\n");
  const auto started = std::chrono::steady_clock::now();
  const auto result = trial_run(file, "0.4.16", std::chrono::seconds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(result.error(),
            "the downloaded binary does not run: it did not answer --version within 1 seconds; "
            "nothing was changed");
  EXPECT_FALSE(fs::exists(file));
  const pid_t pid = std::stoi(test::read_text(dir.path() / "vellora-agent-0.4.16.pid"));
  EXPECT_FALSE(test::process_alive(pid));

  // Exactly "vellora-agent <version>": a version that is only part of the answer does not pass.
  const struct {
    std::string answer, version;
    bool passes;
  } cases[] = {
      {"vellora-agent 0.4.16\n", "0.4.16", true}, {"vellora-agent 0.4.16\r\n", "0.4.16", true},
      {"vellora-agent 0.4.16\n", "0.4.1", false}, {"vellora-agent 0.4.10\n", "1", false},
      {"vellora-agent 0.4.15\n", "5", false},     {"vellora-agent 0.4.16\n", "0.4.17", false},
      {"other 0.4.16\n", "0.4.16", false},        {"vellora-agent 0.4.16 beta\n", "0.4.16", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer + " for " + c.version);
    test::write_file(file, "#!/bin/sh\nprintf '" + c.answer + "'\n");
    const auto result = trial_run(file, c.version, std::chrono::seconds(10));
    EXPECT_EQ(result.has_value(), c.passes);
    if (!c.passes) {
      EXPECT_EQ(result.error(),
                "the downloaded binary is not the announced version: nothing was changed");
      EXPECT_FALSE(fs::exists(file));
    }
  }
}

TEST(WindowsPrograms, RegArgumentsAndImageNames) {
  const std::string installed =
      "C:\\Users\\a b/AppData/Local/Programs/vellora-agent/vellora-agent.exe";
  EXPECT_EQ(
      run_value_data(installed),
      "\"C:\\Users\\a b\\AppData\\Local\\Programs\\vellora-agent\\vellora-agent.exe\" launch");
  const std::string key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  EXPECT_EQ(reg_query_args(), (std::vector<std::string>{"query", key, "/v", "VelloraAgent"}));
  EXPECT_EQ(reg_add_args(installed),
            (std::vector<std::string>{"add", key, "/v", "VelloraAgent", "/t", "REG_SZ", "/d",
                                      run_value_data(installed), "/f"}));
  EXPECT_EQ(reg_delete_args(),
            (std::vector<std::string>{"delete", key, "/v", "VelloraAgent", "/f"}));
  EXPECT_EQ(
      std::vector<std::string_view>(std::begin(WINDOWS_IMAGE_NAMES), std::end(WINDOWS_IMAGE_NAMES)),
      (std::vector<std::string_view>{"vellora-agent.exe", "vellora-agent-windows-x86_64.exe"}));
}

// `install` says the agent starts at log-on only when reg reads back exactly its command.
TEST(WindowsPrograms, RunValueIsReadBack) {
  const std::string path = "C:\\Users\\a/AppData/Local/Programs/vellora-agent/vellora-agent.exe";
  const std::string data = run_value_data(path);
  const std::string key =
      "\r\nHKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\r\n";
  const struct {
    std::string output;
    bool listed;
  } cases[] = {
      {key + "    VelloraAgent    REG_SZ    " + data + "\r\n\r\n", true},
      {key + "\tVelloraAgent\tREG_SZ\t" + data + "\n", true},
      {"", false},  // a planted reg.exe that prints nothing
      {key + "    VelloraAgent    REG_SZ    \"C:\\other\\vellora-agent.exe\" launch\r\n", false},
      {key + "    VelloraAgentX    REG_SZ    " + data + "\r\n", false},
      {key + "    VelloraAgent    REG_EXPAND_SZ    " + data + "\r\n", false},
      {key + "    VelloraAgent    REG_SZ    " + data + " --extra\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(run_value_listed(c.output, path), c.listed) << c.output;
}

TEST(LinuxRegistration, UnitAndAutostartQuoteThePath) {
  const fs::path odd = "/home/a \"b\"/100%/$x\\y/vellora-agent";
  EXPECT_EQ(systemd_unit_text(odd),
            "[Unit]\nDescription=Vellora compile agent\n\n[Service]\n"
            "ExecStart=\"/home/a \\\"b\\\"/100%%/$$x\\\\y/vellora-agent\" background\n"
            "Restart=on-failure\nKillMode=process\n\n[Install]\nWantedBy=default.target\n");
  const std::string entry = autostart_entry_text(odd);
  EXPECT_NE(
      entry.find("\nExec=\"/home/a \\\\\"b\\\\\"/100%%/\\\\$x\\\\\\\\y/vellora-agent\" launch\n"),
      std::string::npos)
      << entry;
  EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n"));
}

TEST(StatusProbe, ReadsOnlyAgentReplies) {
  const struct {
    std::string reply;
    std::optional<std::string> version;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n{\"agent\":\"vellora-agent\",\"version\":\"0.4.15\"}", "0.4.15"},
      {"HTTP/1.1 500 Oops\r\nX: y\r\n\r\n{\"agent\":\"vellora-agent\",\"version\":7}", "?"},
      {"HTTP/1.1 200 OK\r\n\r\n{\"agent\":\"vellora-agent\"}", "?"},
      {"HTTP/1.1 200 OK\r\n\r\n{\"version\":\"0.4.15\"}", std::nullopt},
      {"HTTP/1.1 200 OK\r\n\r\n{\"agent\":\"other\",\"version\":\"0.4.15\"}", std::nullopt},
      {"HTTP/1.1 200 OK\r\n\r\nnot json", std::nullopt},
      {"{\"agent\":\"vellora-agent\",\"version\":\"1\"}", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(agent_version_in_reply(c.reply), c.version) << c.reply;

  test::FixedReplyServer numeric(
      "HTTP/1.0 200 OK\r\n\r\n{\"agent\":\"vellora-agent\",\"version\":0.5}");
  EXPECT_EQ(query_running_agent(numeric.port()), "?");
  test::FixedReplyServer foreign("HTTP/1.0 200 OK\r\n\r\n{\"name\":\"something else\"}");
  EXPECT_EQ(query_running_agent(foreign.port()), std::nullopt);
  EXPECT_EQ(query_running_agent(test::free_port()), std::nullopt);
}

TEST(EnvSeconds, PlainNumbersOnly) {
  const struct {
    std::optional<std::string> value;
    std::uint64_t seconds;
  } cases[] = {{std::nullopt, 8}, {"0", 0},   {"+5", 5}, {"12", 12}, {"", 8},
               {"-1", 8},         {"1.5", 8}, {" 3", 8}, {"++3", 8}, {"99999999999999999999", 8}};
  for (const auto& c : cases) {
    test::ScopedEnv env("VELLORA_TEST_SECS", c.value);
    EXPECT_EQ(env_seconds("VELLORA_TEST_SECS", 8), c.seconds) << c.value.value_or("(unset)");
  }
}

class Checker : public ::testing::Test {
 protected:
  CheckerConfig config() {
    return CheckerConfig{
        .home = dir_.path() / "home",
        .config_dir = dir_.path() / "config",
        .origin = site_.origin(),
        .current_version = "0.4.15",
        .port = test::free_port(),
        .idle = [this] { return idle_; },
        .notify = [this](const std::string& title,
                         const std::string& body) { notes_.push_back(title + "|" + body); },
    };
  }
  void policy(const std::string& text) {
    test::write_file(dir_.path() / "config/settings.json", "{\"auto_update\": \"" + text + "\"}");
  }
  std::size_t manifest_requests() const {
    const std::string log = site_.requests();
    std::size_t count = 0;
    for (std::size_t at = 0;
         (at = log.find("GET /static/agent/version.json", at)) != std::string::npos; ++at)
      ++count;
    return count;
  }

  test::TempDir dir_;
  test::LocalSite site_;
  bool idle_ = true;
  std::vector<std::string> notes_;
};

TEST_F(Checker, NotifiesOncePerVersion) {
  UpdateChecker checker(config());
  site_.publish("0.4.16", "asset");
  checker.run_cycle();
  checker.run_cycle();
  EXPECT_EQ(update_state().available_version(), "0.4.16");
  site_.publish("0.4.17", "asset");
  checker.run_cycle();
  policy("on");  // the service is not installed: notified as under notify, never installed
  site_.publish("0.4.18", "asset");
  checker.run_cycle();
  EXPECT_EQ(notes_, (std::vector<std::string>{
                        "Vellora: agent update|New version of the local agent: 0.4.15 \u2192 "
                        "0.4.16. To update: vellora-agent update (or from the tray icon).",
                        "Vellora: agent update|New version of the local agent: 0.4.15 \u2192 "
                        "0.4.17. To update: vellora-agent update (or from the tray icon).",
                        "Vellora: agent update|New version of the local agent: 0.4.15 \u2192 "
                        "0.4.18. To update: vellora-agent update (or from the tray icon)."}));
  site_.publish("0.4.15", "asset");
  checker.run_cycle();
  EXPECT_EQ(update_state().available_version(), std::nullopt);
  EXPECT_EQ(manifest_requests(), 5u);
}

TEST_F(Checker, OffNeverAsks) {
  policy("off");
  site_.publish("0.4.16", "asset");
  update_state().set_available_version("0.4.16");
  UpdateChecker checker(config());
  checker.run_cycle();
  checker.run_cycle();
  EXPECT_EQ(update_state().available_version(), std::nullopt);
  EXPECT_TRUE(notes_.empty());
  EXPECT_EQ(manifest_requests(), 0u);
}

// Installed with the automatic policy, but a compile starts while the release downloads: nothing
// is replaced and nothing restarts.
TEST_F(Checker, CompileStartedDuringTheDownloadSkipsTheCycle) {
  test::UserMachine machine;
  machine.fake_systemd();
  test::ScopedEnv systemctl("VELLORA_SYSTEMCTL", machine.bin().string() + "/fake-systemctl");
  test::ScopedEnv home("HOME", machine.home().string());
  test::ScopedEnv cache("XDG_CACHE_HOME", machine.root().string() + "/cache");
  test::write_file(machine.root() / "systemd/enabled", "");
  machine.copy_agent(machine.installed());
  site_.publish("0.4.16", test::read_text(test::next_agent_binary()));
  policy("on");
  int asked = 0;
  CheckerConfig c = config();
  c.home = machine.home();
  c.idle = [&] { return ++asked == 1; };  // idle at first, busy right before the replacement
  UpdateChecker checker(c);
  checker.run_cycle();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(test::read_text(machine.installed()), test::read_text(test::agent_binary()));
  EXPECT_FALSE(fs::exists(sibling(machine.installed(), "prev")));
  EXPECT_TRUE(fs::is_empty(machine.cache_dir() / "downloads"));
  EXPECT_EQ(machine.systemctl_log().find("restart"), std::string::npos);
  EXPECT_TRUE(notes_.empty());
}

TEST_F(Checker, CheckNowTwiceStartsOneCheck) {
  site_.publish("0.4.16", "asset");
  update_state().set_context(site_.origin(), "0.4.15");
  check_now();
  check_now();
  for (int i = 0; i < 500 && update_state().checking; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(update_state().checking);
  EXPECT_EQ(update_state().status_message(), "New version 0.4.16 available");
  EXPECT_EQ(update_state().available_version(), "0.4.16");
  EXPECT_EQ(manifest_requests(), 1u);
}

TEST(UpdateNow, RunsTheUpdateOnceAndReportsItsLastLine) {
  test::TempDir dir;
  test::ScopedEnv path("PATH", dir.path().string() + ":/usr/bin:/bin");
  test::write_script(dir.path() / "notify-send", test::NOTIFY_SEND_LOG);
  const fs::path updater = dir.path() / "agent";
  const auto wait_done = [] {
    for (int i = 0; i < 1000 && update_state().updating; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  // Slow enough that the second call finds the first still running.
  test::write_script(updater,
                     "[ \"$1\" = --version ] && { echo 'vellora-agent 0.4.15'; exit 0; }\n"
                     "echo \"$*\" >> \"$0.calls\"; sleep 0.5\n"
                     "echo 'New version available: 0.4.15 \u2192 0.4.16'\n"
                     "echo 'Updated to 0.4.16 and service restarted.'\n");
  update_now_with(updater);
  update_now_with(updater);
  wait_done();
  EXPECT_EQ(test::read_text(dir.path() / "agent.calls"), "update --yes\n");
  EXPECT_EQ(update_state().status_message(), "Updated: Updated to 0.4.16 and service restarted.");

  test::write_script(
      updater, "echo 'New version available'; echo 'Error: the download failed' >&2; exit 1\n");
  update_now_with(updater);
  wait_done();
  EXPECT_EQ(update_state().status_message(), "Update failed: Error: the download failed");
  test::write_script(updater, "exit 3\n");
  update_now_with(updater);
  wait_done();
  EXPECT_EQ(update_state().status_message(), "Update failed: error");
  update_now_with(dir.path() / "missing");
  wait_done();
  EXPECT_EQ(update_state().status_message(), "Update failed: No such file or directory");
  EXPECT_EQ(test::read_text(dir.path() / "notify-send.log"),
            "Vellora: agent updated|Updated to 0.4.16 and service restarted.\n"
            "Vellora: agent update failed|Error: the download failed\n"
            "Vellora: agent update failed|error\n"
            "Vellora: agent update failed|No such file or directory\n");
}

}  // namespace
}  // namespace vellora
