// Installing the agent as a per-user service, updating it from a local web site and rolling it
// back, with real copies of the agent, a fake systemctl (containers have no user manager) or none.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "harness.h"
#include "service/probe.h"
#include "service/unit_files.h"
#include "service_support.h"

namespace vellora::test {
namespace {

const std::string PAIRING_LINE =
    "On the first compilation the browser asks for the pairing code; to generate one now: "
    "vellora-agent code\n";
const std::string UNIT = "vellora-agent.service";

std::string version_of(const UserMachine& machine, const fs::path& exe) {
  return machine.run(exe, {"--version"}).out;
}

TEST(Service, SystemdUnitInstallReinstallUpgradeAndUninstall) {
  UserMachine machine;
  machine.fake_systemd();
  machine.set_env("VELLORA_VERIFY_RESTART", "1");
  const fs::path installed = machine.installed();
  const fs::path elsewhere = machine.copy_agent(machine.root() / "Downloads/vellora-agent");

  auto result = machine.run(elsewhere, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "Agent 0.4.15 installed at " + installed.string() +
                            "\nService installed and started.\n" + PAIRING_LINE);
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.15");
  EXPECT_EQ(machine.systemctl_log(), "--user is-enabled " + UNIT + "\n--user daemon-reload\n" +
                                         "--user enable " + UNIT + "\n--user is-enabled " + UNIT +
                                         "\n--user restart " + UNIT + "\n");
  EXPECT_EQ(read_text(machine.xdg_config() / "systemd/user" / UNIT), systemd_unit_text(installed));
  EXPECT_EQ(fs::read_symlink(machine.home() / ".local/bin/vellora-agent"), installed);
  EXPECT_EQ(read_text(installed), read_text(elsewhere));

  EXPECT_EQ(machine.run(elsewhere, {"status"}).out,
            "This binary:    0.4.15 (" + elsewhere.string() + ")\n" +
                "Service:        installed (" + installed.string() + ", systemd user unit " + UNIT +
                ")\nRunning:        yes, version 0.4.15 on port " + std::to_string(machine.port()) +
                "\nUpdates:        notify\n");

  // From the installed copy: no copy, but registered, restarted and verified again.
  const std::string pid_before = read_text(machine.root() / "systemd/pid");
  result = machine.run(installed, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Agent 0.4.15 installed at " + installed.string() +
                            "\nService restarted (same version).\n" + PAIRING_LINE);
  EXPECT_NE(read_text(machine.root() / "systemd/pid"), pid_before);

  // A newer build installed from elsewhere replaces the running one.
  const fs::path next = machine.copy_agent(machine.root() / "next/vellora-agent", true);
  result = machine.run(next, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Agent 0.4.16 installed at " + installed.string() +
                            "\nService updated: 0.4.15 \u2192 0.4.16\n" + PAIRING_LINE);
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.16");
  EXPECT_EQ(read_text(fs::path(installed).replace_extension("old")), read_text(elsewhere));

  result = machine.run(installed, {"uninstall"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Service removed.\n");
  EXPECT_EQ(query_running_agent(machine.port()), std::nullopt);
  EXPECT_TRUE(fs::is_directory(installed.parent_path()));
  EXPECT_TRUE(fs::is_empty(installed.parent_path()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(machine.home() / ".local/bin/vellora-agent")));
  EXPECT_FALSE(fs::exists(machine.xdg_config() / "systemd/user" / UNIT));
  EXPECT_NE(machine.systemctl_log().find("--user disable --now " + UNIT + "\n"), std::string::npos);
  EXPECT_EQ(machine.run(elsewhere, {"status"}).out,
            "This binary:    0.4.15 (" + elsewhere.string() + ")\n" +
                "Service:        not installed (vellora-agent install)\nRunning:        no\n"
                "Updates:        notify\n");
}

TEST(Service, AutostartEntryWithoutSystemctlAndLaunch) {
  UserMachine machine;
  machine.set_env("PATH", machine.bin().string());  // no systemctl anywhere
  const fs::path installed = machine.installed();
  const fs::path elsewhere = machine.copy_agent(machine.root() / "Downloads/vellora-agent");
  auto result = machine.run(elsewhere, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Agent 0.4.15 installed at " + installed.string() +
                            "\nService installed and started.\n" + PAIRING_LINE);
  const fs::path entry = machine.xdg_config() / "autostart/vellora-agent.desktop";
  EXPECT_EQ(read_text(entry), autostart_entry_text(installed));
  EXPECT_FALSE(fs::exists(machine.xdg_config() / "systemd/user" / UNIT));
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.15");
  EXPECT_NE(machine.run(installed, {"status"})
                .out.find("Service:        installed (" + installed.string() +
                          ", autostart entry " + entry.string() + ")\n"),
            std::string::npos);

  // What the autostart entry runs at log-in.
  machine.stop_agents();
  ASSERT_EQ(query_running_agent(machine.port()), std::nullopt);
  result = machine.run(installed, {"launch"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(wait_for_version(machine.port(), "0.4.15", std::chrono::seconds(30)), "0.4.15");

  EXPECT_EQ(machine.run(installed, {"uninstall"}).out, "Service removed.\n");
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(query_running_agent(machine.port()), std::nullopt);
}

TEST(Service, VerificationReportsAtOnceWithAZeroWindow) {
  const struct {
    std::string reply;
    std::string error;  // "{}" stands for the port
  } cases[] = {
      {"HTTP/1.0 404 Not Found\r\n\r\n{\"error\":\"no\"}",
       "the service did not come up on port {}; see why with: run `vellora-agent background` in a "
       "terminal to see the error"},
      {"HTTP/1.0 200 OK\r\n\r\n{\"agent\":\"vellora-agent\",\"version\":\"0.0.1\"}",
       "after the restart, version 0.0.1 is still answering on port {}: another copy "
       "of the agent (for example a downloaded executable started by hand) is holding the port. "
       "Stop it (pkill -f vellora-agent; on Windows, use Task Manager) and restart the service "
       "(vellora-agent install)"},
  };
  for (const auto& c : cases) {
    // Something else holds the port, so the started agent cannot take it.
    FixedReplyServer holder(c.reply);
    UserMachine machine;
    machine.set_env("PATH", machine.bin().string());
    machine.set_env("VELLORA_AGENT_PORT", std::to_string(holder.port()));
    machine.set_env("VELLORA_VERIFY_SECS", "0");
    const auto started = std::chrono::steady_clock::now();
    const auto result =
        machine.run(machine.copy_agent(machine.root() / "dl/vellora-agent"), {"install"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(result.exit_code, 1);
    std::string error = c.error;
    error.replace(error.find("{}"), 2, std::to_string(holder.port()));
    EXPECT_EQ(result.err, "Error: " + error + "\n");
  }
}

TEST(Service, ManagerWithoutVerificationRequestIsNotProbed) {
  UserMachine machine;
  // A manager that accepts everything and starts nothing.
  write_script(machine.bin() / "quiet-systemctl", "echo \"$*\" >> \"$0.log\"\n");
  machine.set_env("VELLORA_SYSTEMCTL", (machine.bin() / "quiet-systemctl").string());
  const auto result =
      machine.run(machine.copy_agent(machine.root() / "dl/vellora-agent"), {"install"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  // Nothing answers, yet no error: the manager is trusted.
  EXPECT_NE(result.out.find("\nService installed and started.\n"), std::string::npos) << result.out;
  EXPECT_EQ(query_running_agent(machine.port()), std::nullopt);
}

class Update : public ::testing::Test {
 protected:
  void SetUp() override { machine_.set_env("VELLORA_SITE", site_.origin()); }
  UserMachine machine_;
  LocalSite site_;
  const std::string next_ = read_text(next_agent_binary());
  const std::string current_ = read_text(agent_binary());
};

TEST_F(Update, FromTheSiteWithoutAServiceThenRollBackTwice) {
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  const fs::path downloads = machine_.cache_dir() / "downloads";
  const struct {
    std::string version;
    std::optional<std::string> digest;
    std::vector<std::string> args;
    std::string out, err;
    bool same_build = false;  // the asset is this very build (0.4.15)
  } refused[] = {
      {"0.4.15", std::nullopt, {"update"}, "You are already on the latest version (0.4.15).\n", ""},
      {"0.4.15.1", std::nullopt, {"update"}, "", "Error: version.json without a valid version\n"},
      {"0.4.16",
       std::string(64, 'a'),
       {"update", "--yes"},
       "New version available: 0.4.15 \u2192 0.4.16\n",
       "Error: the downloaded file's SHA-256 does not match the published one: nothing was "
       "changed\n"},
      {"0.4.17",
       std::nullopt,
       {"update", "-y"},
       "New version available: 0.4.15 \u2192 0.4.17\n",
       "Error: the downloaded binary is not the announced version: nothing was changed\n"},
      {"0.4.16",
       std::nullopt,
       {"update"},
       "New version available: 0.4.15 \u2192 0.4.16\n",
       "Error: no terminal to ask on: run it in a terminal or use --yes\n"},
      // The trial run wants exactly the announced version, not a text that contains it: "1" is
      // not 0.4.16 (nor a downgrade to 0.4.10), "5" not this very build.
      {"1",
       std::nullopt,
       {"update", "--yes"},
       "New version available: 0.4.15 \u2192 1\n",
       "Error: the downloaded binary is not the announced version: nothing was changed\n"},
      {"5",
       std::nullopt,
       {"update", "--yes"},
       "New version available: 0.4.15 \u2192 5\n",
       "Error: the downloaded binary is not the announced version: nothing was changed\n",
       true},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.version);
    site_.publish(c.version, c.same_build ? current_ : next_, c.digest);
    const auto result = machine_.run(app, c.args);
    EXPECT_EQ(result.exit_code, c.err.empty() ? 0 : 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(read_text(app), current_);
    EXPECT_FALSE(fs::exists(fs::path(app).replace_extension("prev")));
    EXPECT_TRUE(!fs::exists(downloads) || fs::is_empty(downloads));
  }

  site_.publish("0.4.16", next_);
  auto result = machine_.run(app, {"update", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "New version available: 0.4.15 \u2192 0.4.16\nUpdated to 0.4.16 at " +
                            app.string() +
                            " (the service is not installed; restart the agent if it is "
                            "running).\n");
  EXPECT_EQ(version_of(machine_, app), "vellora-agent 0.4.16\n");
  EXPECT_EQ(read_text(fs::path(app).replace_extension("prev")), current_);
  EXPECT_TRUE(fs::is_empty(downloads));

  for (int i = 0; i < 2; ++i) {
    result = machine_.run(app, {"rollback"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "Previous version restored at " + app.string() + ".\n");
    EXPECT_EQ(version_of(machine_, app), "vellora-agent 0.4.15\n");
  }
  const fs::path fresh = machine_.copy_agent(machine_.root() / "fresh/vellora-agent");
  result = machine_.run(fresh, {"rollback"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Error: there is no previous version saved\n");
}

// The current version cannot be saved (here something is in the way of "prev"; a full disk acts
// alike): the update stops before anything is replaced.
TEST_F(Update, UnsavableCurrentVersionStopsTheUpdate) {
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  const fs::path prev = fs::path(app).replace_extension("prev");
  fs::create_directories(prev / "in-the-way");
  site_.publish("0.4.16", next_);
  const auto result = machine_.run(app, {"update", "--yes"});
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_TRUE(result.err.starts_with("Error: could not save the current version: ")) << result.err;
  EXPECT_TRUE(result.err.ends_with("; nothing was changed\n")) << result.err;
  EXPECT_EQ(read_text(app), current_);
  EXPECT_TRUE(fs::is_directory(prev / "in-the-way"));
  EXPECT_FALSE(fs::exists(fs::path(app).replace_extension("new")));
  const fs::path downloads = machine_.cache_dir() / "downloads";
  EXPECT_TRUE(!fs::exists(downloads) || fs::is_empty(downloads));
}

// A saved version cut short (a disk that filled while it was written) is refused, not installed.
TEST_F(Update, RollbackRefusesASavedVersionThatDoesNotRun) {
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  const fs::path prev = fs::path(app).replace_extension("prev");
  for (const std::string& saved : {current_.substr(0, 4096), std::string()}) {
    write_file(prev, saved);
    fs::permissions(prev, fs::perms::owner_all);
    const auto result = machine_.run(app, {"rollback"});
    EXPECT_EQ(result.exit_code, 1) << result.out;
    EXPECT_TRUE(result.err.starts_with("Error: the saved previous version " + prev.string() +
                                       " does not run ("))
        << result.err;
    EXPECT_TRUE(result.err.ends_with("); nothing was changed\n")) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_text(app), current_);
    EXPECT_EQ(read_text(prev), saved);
  }
}

TEST_F(Update, InstalledServiceIsUpdatedRestartedAndRolledBack) {
  machine_.fake_systemd();
  machine_.set_env("VELLORA_VERIFY_RESTART", "1");
  const fs::path installed = machine_.installed();
  ASSERT_EQ(machine_.run(machine_.copy_agent(machine_.root() / "dl/vellora-agent"), {"install"})
                .exit_code,
            0);
  site_.publish("0.4.16", next_);
  auto result = machine_.run(installed, {"update", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(
      result.out,
      "New version available: 0.4.15 \u2192 0.4.16\nUpdated to 0.4.16 and service restarted.\n");
  EXPECT_EQ(query_running_agent(machine_.port()), "0.4.16");
  EXPECT_EQ(read_text(fs::path(installed).replace_extension("prev")), current_);

  result = machine_.run(installed, {"rollback"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Previous version restored at " + installed.string() + ".\n");
  EXPECT_TRUE(machine_.systemctl_log().ends_with("--user restart " + UNIT + "\n"));
  EXPECT_EQ(wait_for_version(machine_.port(), "0.4.15", std::chrono::seconds(30)), "0.4.15");
}

// Under the automatic policy the running agent installs the new release itself and is replaced
// by it, under the user manager and without one.
TEST_F(Update, CheckerInstallsANewReleaseWhenIdle) {
  for (const bool systemd : {true, false}) {
    SCOPED_TRACE(systemd ? "systemd" : "autostart");
    UserMachine machine;
    machine.set_env("VELLORA_SITE", site_.origin());
    machine.set_env("VELLORA_VERIFY_RESTART", "1");
    if (systemd) {
      machine.fake_systemd();
    } else {
      machine.set_env("VELLORA_SYSTEMCTL", (machine.bin() / "no-systemctl").string());
    }
    site_.publish("0.4.15", next_);
    const fs::path elsewhere = machine.copy_agent(machine.root() / "dl/vellora-agent");
    ASSERT_EQ(machine.run(elsewhere, {"auto-update", "on"}).exit_code, 0);
    machine.set_env("VELLORA_UPDATE_FIRST_SECS", "1");
    machine.set_env("VELLORA_UPDATE_INTERVAL_SECS", "1");
    const auto installed = machine.run(elsewhere, {"install"});
    ASSERT_EQ(installed.exit_code, 0) << installed.err;
    site_.publish("0.4.16", next_);
    EXPECT_EQ(wait_for_version(machine.port(), "0.4.16", std::chrono::seconds(60)), "0.4.16")
        << read_text(machine.root() / "systemd/agent.log");
    EXPECT_EQ(read_text(machine.installed()), next_);
    EXPECT_EQ(read_text(fs::path(machine.installed()).replace_extension("prev")), current_);
    // What the user manager's log shows before the agent hands itself over.
    if (systemd) {
      EXPECT_NE(read_text(machine.root() / "systemd/agent.log")
                    .find("Update check: installing 0.4.16 and restarting the service\n"),
                std::string::npos);
    }
  }
}

// A release that answers --version but never serves.
const std::string BROKEN_RELEASE =
    "#!/bin/sh\n[ \"$1\" = --version ] && { echo 'vellora-agent 0.4.16'; exit 0; }\nexit 1\n";

// The restart of a release that does not serve ends with the previous version back and running,
// and the update reported as failed.
TEST_F(Update, ABrokenReleaseIsReplacedByThePreviousVersion) {
  machine_.fake_systemd();
  machine_.set_env("VELLORA_VERIFY_RESTART", "1");
  const fs::path installed = machine_.installed();
  ASSERT_EQ(machine_.run(machine_.copy_agent(machine_.root() / "dl/vellora-agent"), {"install"})
                .exit_code,
            0);
  site_.publish("0.4.16", BROKEN_RELEASE);
  machine_.set_env("VELLORA_VERIFY_SECS", "3");
  const auto result = machine_.run(installed, {"update", "--yes"});
  EXPECT_EQ(result.exit_code, 1);
  const std::string port = std::to_string(machine_.port());
  EXPECT_TRUE(result.err.starts_with(
      "Error: the update to 0.4.16 did not start: the service did not come up on port " + port))
      << result.err;
  EXPECT_TRUE(result.err.ends_with("; the previous version is back in place at " +
                                   installed.string() + " and running again\n"))
      << result.err;
  EXPECT_EQ(read_text(installed), current_);
  EXPECT_EQ(wait_for_version(machine_.port(), "0.4.15", std::chrono::seconds(30)), "0.4.15");
  EXPECT_EQ(read_text(machine_.config_dir() / "failed-update"), "0.4.16");
}

// Under the automatic policy: the broken release is put back by the saved previous program, the
// user is told once, and the release is not installed again at the next checks.
TEST_F(Update, CheckerPutsBackABrokenReleaseAndNeverInstallsItAgain) {
  machine_.fake_systemd();
  machine_.set_env("VELLORA_VERIFY_RESTART", "1");
  machine_.set_env("VELLORA_VERIFY_SECS", "8");
  write_script(machine_.bin() / "notify-send", NOTIFY_SEND_LOG);
  const fs::path elsewhere = machine_.copy_agent(machine_.root() / "dl/vellora-agent");
  ASSERT_EQ(machine_.run(elsewhere, {"auto-update", "on"}).exit_code, 0);
  site_.publish("0.4.15", next_);
  machine_.set_env("VELLORA_UPDATE_FIRST_SECS", "1");
  machine_.set_env("VELLORA_UPDATE_INTERVAL_SECS", "1");
  const auto installed = machine_.run(elsewhere, {"install"});
  ASSERT_EQ(installed.exit_code, 0) << installed.err;
  site_.publish("0.4.16", BROKEN_RELEASE);
  const fs::path notes = machine_.bin() / "notify-send.log";
  ASSERT_TRUE(wait_for_version(machine_.port(), "0.4.15", std::chrono::seconds(1)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (read_text(notes).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(read_text(notes).starts_with(
      "Vellora: agent update failed|the update to 0.4.16 did not start: "))
      << read_text(notes) << read_text(machine_.root() / "systemd/agent.log");
  EXPECT_EQ(wait_for_version(machine_.port(), "0.4.15", std::chrono::seconds(30)), "0.4.15");
  EXPECT_EQ(read_text(machine_.installed()), current_);

  // Several more checks: no second installation, no second notification.
  const std::string restarts_before = machine_.systemctl_log();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(machine_.systemctl_log(), restarts_before);
  const std::string text = read_text(notes);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_EQ(query_running_agent(machine_.port()), "0.4.15");
}

// The messages of commands that fail, or succeed only in part, say what is true.
TEST_F(Update, MessagesSayWhatHappened) {
  const fs::path installed = machine_.installed();
  const fs::path blocked = machine_.root() / "blocked";
  write_file(blocked, "a file");
  const struct {
    std::string what;
    std::function<void()> setup;
    std::vector<std::string> args;
    int exit_code;
    std::string out, err;  // err: its start
  } cases[] = {
      {"a restart that fails after a rollback: the previous version is already back",
       [&] {
         machine_.copy_agent(installed, true);
         machine_.copy_agent(fs::path(installed).replace_extension("prev"));
         // A user manager whose unit is enabled but cannot restart.
         write_script(machine_.bin() / "stuck-systemctl",
                      "[ \"$2\" = is-enabled ] && exit 0\nexit 1\n");
         machine_.set_env("VELLORA_SYSTEMCTL", (machine_.bin() / "stuck-systemctl").string());
       },
       {"rollback"},
       1,
       "",
       "Error: the previous version is back in place at " + installed.string() +
           ", but the service could not be restarted: could not restart the service ("},
      {"the policy is read at every check: no restart is needed",
       [] {},
       {"auto-update", "on"},
       0,
       "Automatic update: on (a running agent follows it from its next update check)\n",
       ""},
      {"a folder that cannot be made is named",
       [&] { machine_.set_env("XDG_CONFIG_HOME", blocked.string()); },
       {"auto-update", "off"},
       1,
       "",
       "Error: could not create " + (blocked / "vellora-agent").string() + ": "},
  };
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.setup();
    const auto result = machine_.run(app, c.args);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.out, c.out);
    EXPECT_TRUE(result.err.starts_with(c.err)) << result.err;
    EXPECT_EQ(c.err.empty(), result.err.empty()) << result.err;
  }
  EXPECT_EQ(read_text(installed), current_);
}

// A stalled download ends the update after the stall limit, and leaves nothing in the cache.
TEST_F(Update, StalledDownloadIsAbandonedAndLeavesNothing) {
  // The site answers the manifest, then stalls in the middle of the release.
  const std::string manifest =
      R"({"version": "0.4.16", "sha256_linux": ")" + std::string(64, 'a') + "\"}";
  const LoopbackServer site([&manifest](std::string_view request) {
    if (request.find("version.json") != std::string_view::npos)
      return LoopbackServer::Answer{
          "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(manifest.size()) +
          "\r\nConnection: close\r\n\r\n" + manifest};
    return LoopbackServer::Answer{
        "HTTP/1.1 200 OK\r\nContent-Length: 50000000\r\n\r\n" + std::string(1000, 'x'), true};
  });
  machine_.set_env("VELLORA_SITE", site.origin());
  machine_.set_env("VELLORA_DOWNLOAD_STALL_SECS", "1");
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  const auto started = std::chrono::steady_clock::now();
  const auto result = machine_.run(app, {"update", "--yes"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(90));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("Error: the download failed (curl: (")) << result.err;
  const fs::path downloads = machine_.cache_dir() / "downloads";
  EXPECT_TRUE(!fs::exists(downloads) || fs::is_empty(downloads));
  EXPECT_EQ(read_text(app), current_);
}

TEST_F(Update, AutoUpdatePolicyTextsAndFile) {
  const fs::path app = machine_.copy_agent(machine_.root() / "app/vellora-agent");
  const fs::path settings = machine_.config_dir() / "settings.json";
  EXPECT_EQ(machine_.run(app, {"auto-update"}).out,
            "Automatic update: notify (off = does not query; notify = only notifies; on = installs "
            "by itself)\n");
  const struct {
    std::string arg, stored;
  } cases[] = {{"AUTO", "on"}, {"Off", "off"}, {"notify", "notify"}, {"on", "on"}};
  for (const auto& c : cases) {
    const auto result = machine_.run(app, {"auto-update", c.arg});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "Automatic update: " + c.stored +
                              " (a running agent follows it from its next update check)\n");
    EXPECT_EQ(read_text(settings), "{\n  \"auto_update\": \"" + c.stored + "\"\n}");
    EXPECT_FALSE(fs::exists(fs::path(settings).replace_extension("tmp")));
  }
  EXPECT_EQ(machine_.run(app, {"auto-update"}).out.substr(0, 21), "Automatic update: on ");

  auto result = machine_.run(app, {"auto-update", "sometimes"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "usage: vellora-agent auto-update [off|notify|on]\n");
  EXPECT_EQ(read_text(settings), "{\n  \"auto_update\": \"on\"\n}");

  // The config directory cannot be made: a file is in the way.
  machine_.set_env("XDG_CONFIG_HOME", (machine_.root() / "blocked").string());
  write_file(machine_.root() / "blocked", "a file");
  result = machine_.run(app, {"auto-update", "off"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("Error: ")) << result.err;
  EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace vellora::test
