// The tray icon on Linux, end to end: a private session bus, a fake StatusNotifierWatcher, the
// real agent, and a bus client that reads the item and clicks its menu as a desktop would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <future>
#include <thread>

#include "harness.h"
#include "service_support.h"
#include "tray/run_tray.h"
#include "tray/tray_icon.h"

namespace vellora::test {
namespace {

using Clock = std::chrono::steady_clock;
const std::string DOT = " \u00b7 ";

// Polls `done` until it holds or `limit` passes.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

pid_t spawn(const std::vector<std::string>& args, const fs::path& log) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

void end(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

struct MenuItem {
  int id = 0;
  std::string label;
  bool enabled = true;
  bool separator = false;
};

// A client of the private bus, seeing the agent's item as a desktop's tray would.
class BusClient {
 public:
  explicit BusClient(const std::string& address) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    connected_ = sd_bus_start(bus_) >= 0;
  }
  ~BusClient() { sd_bus_flush_close_unref(bus_); }
  bool connected() const { return connected_; }

  bool has_owner(const std::string& name) {
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           name.c_str()) >= 0)
      sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    return owned != 0;
  }

  std::string string_property(const std::string& service, const char* name) {
    char* value = nullptr;
    sd_bus_get_property_string(bus_, service.c_str(), "/StatusNotifierItem",
                               "org.kde.StatusNotifierItem", name, nullptr, &value);
    std::string text = value ? value : "";
    std::free(value);
    return text;
  }

  // The tooltip's title, where the agent puts its text.
  std::string tooltip(const std::string& service) {
    sd_bus_message* reply = nullptr;
    std::string text;
    if (sd_bus_get_property(bus_, service.c_str(), "/StatusNotifierItem",
                            "org.kde.StatusNotifierItem", "ToolTip", nullptr, &reply,
                            "(sa(iiay)ss)") >= 0) {
      const char *title = nullptr, *body = nullptr;
      sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss");
      sd_bus_message_skip(reply, "sa(iiay)");
      if (sd_bus_message_read(reply, "ss", &title, &body) >= 0) text = title;
    }
    sd_bus_message_unref(reply);
    return text;
  }

  // One pixel of the 32 × 32 pixmap, converted back from ARGB in network byte order.
  std::optional<Rgba> pixel(const std::string& service, int x, int y) {
    sd_bus_message* reply = nullptr;
    std::optional<Rgba> result;
    if (sd_bus_get_property(bus_, service.c_str(), "/StatusNotifierItem",
                            "org.kde.StatusNotifierItem", "IconPixmap", nullptr, &reply,
                            "a(iiay)") >= 0) {
      int w = 0, h = 0;
      const void* data = nullptr;
      std::size_t size = 0;
      sd_bus_message_enter_container(reply, 'a', "(iiay)");
      sd_bus_message_enter_container(reply, 'r', "iiay");
      if (sd_bus_message_read(reply, "ii", &w, &h) >= 0 && w == 32 && h == 32 &&
          sd_bus_message_read_array(reply, 'y', &data, &size) >= 0 && size == 4096) {
        const auto* p = static_cast<const std::uint8_t*>(data) + (y * 32 + x) * 4;
        result = Rgba{p[1], p[2], p[3], p[0]};
      }
    }
    sd_bus_message_unref(reply);
    return result;
  }

  std::vector<MenuItem> layout(const std::string& service) {
    sd_bus_message* reply = nullptr;
    std::vector<MenuItem> items;
    if (sd_bus_call_method(bus_, service.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                           nullptr, &reply, "iias", 0, -1, 0) < 0)
      return items;
    std::uint32_t revision = 0;
    int root = -1;
    sd_bus_message_read(reply, "u", &revision);
    sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
    sd_bus_message_read(reply, "i", &root);
    sd_bus_message_skip(reply, "a{sv}");
    sd_bus_message_enter_container(reply, 'a', "v");
    while (sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)") > 0) {
      MenuItem item;
      sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
      sd_bus_message_read(reply, "i", &item.id);
      sd_bus_message_enter_container(reply, 'a', "{sv}");
      while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(reply, "s", &key);
        const std::string name = key;
        if (name == "label" || name == "type") {
          const char* value = nullptr;
          sd_bus_message_read(reply, "v", "s", &value);
          if (name == "label") item.label = value;
          if (name == "type") item.separator = std::string(value) == "separator";
        } else if (name == "enabled") {
          int value = 1;
          sd_bus_message_read(reply, "v", "b", &value);
          item.enabled = value != 0;
        } else {
          sd_bus_message_skip(reply, "v");
        }
        sd_bus_message_exit_container(reply);
      }
      sd_bus_message_exit_container(reply);
      sd_bus_message_skip(reply, "av");
      sd_bus_message_exit_container(reply);
      sd_bus_message_exit_container(reply);
      items.push_back(item);
    }
    sd_bus_message_unref(reply);
    return items;
  }

  std::string label(const std::string& service, int id) {
    for (const auto& item : layout(service))
      if (item.id == id) return item.label;
    return "";
  }

  bool click(const std::string& service, int id) {
    return sd_bus_call_method(bus_, service.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event",
                              nullptr, nullptr, "isvu", id, "clicked", "s", "", 0u) >= 0;
  }

 private:
  sd_bus* bus_ = nullptr;
  bool connected_ = false;
};

// A private session bus for one test.
class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = "unix:path=" + (dir_.path() / "bus").string();
    start_bus();
    agent_.set_env("DBUS_SESSION_BUS_ADDRESS", address_);
  }
  void start_bus() {
    bus_pid_ = spawn(
        {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_},
        dir_.path() / "dbus.log");
    ASSERT_GT(bus_pid_, 0);
    ASSERT_TRUE(eventually([&] {
      client_.emplace(address_);
      return client_->connected();
    })) << read_text(dir_.path() / "dbus.log");
  }
  void TearDown() override {
    agent_.stop();
    end(watcher_pid_);
    client_.reset();
    end(bus_pid_);
  }

  void start_watcher() {
    watcher_pid_ = spawn({FAKE_WATCHER_BINARY, address_, registrations().string()},
                         dir_.path() / "watcher.log");
    ASSERT_GT(watcher_pid_, 0);
    ASSERT_TRUE(eventually([&] { return client_->has_owner("org.kde.StatusNotifierWatcher"); }))
        << read_text(dir_.path() / "watcher.log");
  }
  fs::path registrations() const { return dir_.path() / "registrations"; }

  // Starts the agent with its tray and waits until the watcher has its item; the item's name.
  std::string start_agent_with_tray() {
    EXPECT_TRUE(agent_.start({})) << agent_.errors();
    EXPECT_TRUE(eventually([&] { return !read_text(registrations()).empty(); })) << agent_.errors();
    const std::string text = read_text(registrations());
    return text.substr(0, text.find('\n'));
  }

  std::string port() const { return std::to_string(agent_.port()); }

  TempDir dir_;
  std::string address_;
  pid_t bus_pid_ = -1, watcher_pid_ = -1;
  std::optional<BusClient> client_;
  Agent agent_;
};

TEST_F(TrayTest, RegistersWithTheWatcherAndShowsTheIdleState) {
  start_watcher();
  const std::string service = start_agent_with_tray();
  EXPECT_EQ(service, "org.kde.StatusNotifierItem-" + std::to_string(agent_.pid()) + "-1");
  EXPECT_TRUE(eventually([&] {
    return agent_.output().find("System tray icon: active.\n") != std::string::npos;
  })) << agent_.output();
  EXPECT_EQ(agent_.errors(), "");

  EXPECT_EQ(client_->string_property(service, "Id"), "vellora-agent");
  EXPECT_EQ(client_->string_property(service, "Status"), "Active");
  EXPECT_EQ(client_->tooltip(service), "Idle (127.0.0.1:" + port() + ")");

  const auto items = client_->layout(service);
  const std::vector<std::tuple<std::string, bool, bool>> expected = {
      {"Agent running" + DOT + "port " + port(), false, false},
      {"Version 0.4.15", false, false},
      {"", true, true},
      {"Update the agent", false, false},
      {"Check for updates", true, false},
      {"Open Vellora", true, false},
      {"", true, true},
      {"Quit", true, false},
  };
  ASSERT_EQ(items.size(), expected.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(std::tie(items[i].label, items[i].enabled, items[i].separator), expected[i]) << i;
  }

  const IconImage idle = tray_icon_image(false);
  for (const auto& [x, y] : {std::pair{24, 24}, {29, 24}, {10, 10}, {0, 0}}) {
    EXPECT_EQ(client_->pixel(service, x, y), pixel_at(idle, x, y)) << x << "," << y;
  }
  EXPECT_EQ(agent_.get("/v1/status").status, 200u);
}

TEST_F(TrayTest, ACompileTurnsTheDotRedAndBack) {
  write_script(agent_.bin() / "tectonic",
               "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
               "sleep 4\nprintf '%%PDF-1.5 fake' > _out/main.pdf\n");
  start_watcher();
  const std::string service = start_agent_with_tray();
  const std::string token = agent_.pair();
  json::object body{{"project", "p"}, {"mainFile", "main.tex"}, {"engine", "agent-tectonic"}};
  body["files"] = agent_.upload(token, {{"main.tex", "x"}});
  auto compile = std::async(std::launch::async, [&] {
    return agent_.post_auth("/v1/compile", json::serialize(body), token);
  });

  // The loop refreshes once a second: the change shows well before the engine's four seconds end.
  const auto compiling = [&] {
    return client_->pixel(service, 24, 24) == COMPILING_COLOUR &&
           client_->label(service, STATUS_ITEM) == "Compiling..." + DOT + "port " + port() &&
           client_->tooltip(service) == "Compiling... (127.0.0.1:" + port() + ")";
  };
  EXPECT_TRUE(eventually(compiling, std::chrono::seconds(3)));
  EXPECT_EQ(client_->pixel(service, 29, 24), (Rgba{255, 255, 255, 255}));
  EXPECT_EQ(compile.get().status, 200u);

  const auto idle = [&] {
    return client_->pixel(service, 24, 24) == IDLE_COLOUR &&
           client_->label(service, STATUS_ITEM) == "Agent running" + DOT + "port " + port() &&
           client_->tooltip(service) == "Idle (127.0.0.1:" + port() + ")";
  };
  EXPECT_TRUE(eventually(idle, std::chrono::seconds(3)));
}

TEST_F(TrayTest, OpenVelloraOpensTheSite) {
  // The browser may outlive the agent: it must not hold the agent's sockets (and so its port).
  write_script(agent_.bin() / "xdg-open",
               "for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"$0.fds\"\n"
               "echo \"$*\" >> \"$0.calls\"\n");
  agent_.set_env("VELLORA_SITE", "http://127.0.0.1:9/site");
  start_watcher();
  const std::string service = start_agent_with_tray();
  ASSERT_TRUE(client_->click(service, OPEN_ITEM));
  EXPECT_TRUE(eventually([&] { return !read_text(agent_.bin() / "xdg-open.calls").empty(); }));
  EXPECT_EQ(read_text(agent_.bin() / "xdg-open.calls"), "http://127.0.0.1:9/site\n");
  EXPECT_EQ(read_text(agent_.bin() / "xdg-open.fds").find("socket:"), std::string::npos)
      << read_text(agent_.bin() / "xdg-open.fds");
}

TEST_F(TrayTest, CheckForUpdatesAsksTheSiteAndOffersTheNewVersion) {
  LocalSite site;
  site.publish("9.9.9", "not run by this test");
  agent_.set_env("VELLORA_SITE", site.origin());
  // The periodic checker stays out of the way: only the click asks.
  agent_.set_env("VELLORA_UPDATE_FIRST_SECS", "100000");
  start_watcher();
  const std::string service = start_agent_with_tray();
  EXPECT_EQ(site.requests().find("version.json"), std::string::npos);
  ASSERT_TRUE(client_->click(service, CHECK_ITEM));
  EXPECT_TRUE(eventually([&] {
    return client_->label(service, UPDATE_ITEM) == "Update the agent to version 9.9.9";
  })) << client_->label(service, UPDATE_ITEM);
  EXPECT_NE(site.requests().find("GET /static/agent/version.json"), std::string::npos);
}

// 300 clicks sent over the bus in a burst open the site once, not 300 times.
TEST_F(TrayTest, ABurstOfOpenClicksOpensTheSiteOnce) {
  write_script(agent_.bin() / "xdg-open", "echo \"$*\" >> \"$0.calls\"\n");
  // The pause between two openings outlasts the test, however slow the machine.
  agent_.set_env("VELLORA_OPEN_PAUSE_MS", "600000");
  agent_.set_env("VELLORA_SITE", "http://127.0.0.1:9/site");
  start_watcher();
  const std::string service = start_agent_with_tray();
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(client_->click(service, OPEN_ITEM));
  EXPECT_TRUE(eventually([&] { return !read_text(agent_.bin() / "xdg-open.calls").empty(); }));
  // Every click has been taken from the bus once the layout answers after them.
  EXPECT_EQ(client_->layout(service).size(), 8u);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(read_text(agent_.bin() / "xdg-open.calls"), "http://127.0.0.1:9/site\n");
}

// Without the service, the tray's update replaces the file the agent runs from; the agent then
// asks for a restart and never offers (or runs) the same update again.
TEST_F(TrayTest, AnUpdateWithoutTheServiceAsksForARestartAndOffersNothingMore) {
  LocalSite site;
  site.publish("0.4.16", read_text(next_agent_binary()));
  agent_.set_env("VELLORA_SITE", site.origin());
  agent_.set_env("VELLORA_UPDATE_FIRST_SECS", "100000");
  agent_.set_env("VELLORA_SYSTEMCTL", (agent_.bin() / "no-systemctl").string());
  write_script(agent_.bin() / "notify-send", NOTIFY_SEND_LOG);
  const fs::path app = agent_.root() / "app/vellora-agent";
  fs::create_directories(app.parent_path());
  fs::copy_file(agent_binary(), app);
  agent_.use_binary(app);
  start_watcher();
  const std::string service = start_agent_with_tray();
  ASSERT_TRUE(client_->click(service, CHECK_ITEM));
  ASSERT_TRUE(eventually([&] {
    return client_->label(service, UPDATE_ITEM) == "Update the agent to version 0.4.16";
  })) << client_->label(service, UPDATE_ITEM);
  ASSERT_TRUE(client_->click(service, UPDATE_ITEM));
  const std::string finish = "Updated to 0.4.16: restart to finish";
  EXPECT_TRUE(eventually([&] { return client_->label(service, UPDATE_ITEM) == finish; },
                         std::chrono::seconds(90)))
      << client_->label(service, UPDATE_ITEM) << agent_.errors();
  EXPECT_EQ(read_text(app), read_text(next_agent_binary()));
  EXPECT_EQ(client_->label(service, VERSION_ITEM),
            "Version 0.4.15" + DOT + "0.4.16 installed, restart to finish");

  // Another check finds nothing to offer; a click on the disabled entry does nothing.
  ASSERT_TRUE(client_->click(service, CHECK_ITEM));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(client_->click(service, UPDATE_ITEM));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (const auto& item : client_->layout(service)) {
    if (item.id != UPDATE_ITEM) continue;
    EXPECT_EQ(item.label, finish);
    EXPECT_FALSE(item.enabled);
  }
  const std::string notes = read_text(agent_.bin() / "notify-send.log");
  EXPECT_TRUE(notes.starts_with("Vellora: agent updated|Updated to 0.4.16 at " + app.string()))
      << notes;
  EXPECT_EQ(std::count(notes.begin(), notes.end(), '\n'), 1) << notes;
  EXPECT_TRUE(process_alive(agent_.pid()));
}

TEST_F(TrayTest, ClicksOnDisabledOrUnknownEntriesDoNothing) {
  write_script(agent_.bin() / "xdg-open", "echo \"$*\" >> \"$0.calls\"\n");
  start_watcher();
  const std::string service = start_agent_with_tray();
  EXPECT_TRUE(client_->click(service, STATUS_ITEM));
  EXPECT_FALSE(client_->click(service, 99));
  ASSERT_TRUE(client_->click(service, OPEN_ITEM));
  // The one enabled click is handled after the others, so once it shows, theirs would have too.
  EXPECT_TRUE(eventually([&] { return !read_text(agent_.bin() / "xdg-open.calls").empty(); }));
  EXPECT_TRUE(process_alive(agent_.pid()));
  EXPECT_EQ(client_->layout(service).size(), 8u);
}

TEST_F(TrayTest, QuitEndsTheAgentAndItsRunningCompiles) {
  // An engine with a child of its own, both recording their ids in the work directory (the only
  // place a confined engine may write), then waiting for ever.
  write_script(agent_.bin() / "tectonic",
               "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
               "sleep 1000 & echo $! > engine.child\necho $$ > engine.pid\nwait\n");
  const fs::path work = agent_.cache_dir() / "work" / "p";
  start_watcher();
  const std::string service = start_agent_with_tray();
  const std::string token = agent_.pair();
  json::object body{{"project", "p"}, {"mainFile", "main.tex"}, {"engine", "agent-tectonic"}};
  body["files"] = agent_.upload(token, {{"main.tex", "x"}});
  auto compile = std::async(std::launch::async, [&] {
    try {
      agent_.post_auth("/v1/compile", json::serialize(body), token);
    } catch (const std::exception&) {
      // The agent ends without answering.
    }
  });
  ASSERT_TRUE(eventually([&] {
    return !read_text(work / "engine.pid").empty() && !read_text(work / "engine.child").empty();
  }));
  const pid_t engine = std::stoi(read_text(work / "engine.pid"));
  const pid_t child = std::stoi(read_text(work / "engine.child"));

  ASSERT_TRUE(client_->click(service, QUIT_ITEM));
  EXPECT_EQ(agent_.wait_exit(), 0);
  EXPECT_TRUE(eventually([&] { return !process_alive(engine) && !process_alive(child); }));
  ::kill(child, SIGKILL);  // leaves nothing behind should the agent have failed to
  ::kill(engine, SIGKILL);
  compile.get();
}

// The icon is said to be active only once a tray has accepted it.
TEST_F(TrayTest, RegistersWhenAWatcherAppearsLater) {
  const std::string waiting = "System tray icon: waiting for a tray (none on this desktop yet)\n";
  const std::string active = "System tray icon: active.\n";
  ASSERT_TRUE(agent_.start({}));
  ASSERT_TRUE(
      eventually([&] { return agent_.output().find("System tray icon") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(agent_.output().substr(agent_.output().find("System tray icon")), waiting);
  start_watcher();
  EXPECT_TRUE(eventually([&] {
    return read_text(registrations()) ==
           "org.kde.StatusNotifierItem-" + std::to_string(agent_.pid()) + "-1\n";
  }));
  EXPECT_TRUE(eventually([&] {
    return agent_.output().substr(agent_.output().find("System tray icon")) == waiting + active;
  })) << agent_.output();
  // A watcher that restarts (the desktop's shell did) gets the item again.
  end(watcher_pid_);
  start_watcher();
  EXPECT_TRUE(eventually([&] {
    const std::string text = read_text(registrations());
    return std::count(text.begin(), text.end(), '\n') == 2;
  }));
}

// A session bus that restarts (its daemon crashed, the user manager restarted it) takes the item
// with it: the agent connects again, offers the same item and menu, and says so.
TEST_F(TrayTest, ComesBackAfterTheSessionBusRestarts) {
  start_watcher();
  start_agent_with_tray();
  ASSERT_TRUE(eventually(
      [&] { return agent_.output().find("System tray icon: active.\n") != std::string::npos; }));
  end(watcher_pid_);
  client_.reset();
  end(bus_pid_);
  EXPECT_TRUE(eventually([&] {
    return agent_.output().ends_with(
        "System tray icon: the session bus closed; connecting again\n");
  })) << agent_.output();
  start_bus();
  start_watcher();
  const std::string service = "org.kde.StatusNotifierItem-" + std::to_string(agent_.pid()) + "-1";
  // Registered anew on the new bus (twice if the watcher came while the agent was registering).
  EXPECT_TRUE(eventually(
      [&] {
        const std::string text = read_text(registrations());
        return text.starts_with(service + "\n" + service + "\n");
      },
      std::chrono::seconds(60)))
      << read_text(registrations()) << agent_.output();
  EXPECT_TRUE(eventually([&] { return agent_.output().ends_with("System tray icon: active.\n"); }))
      << agent_.output();
  EXPECT_EQ(client_->label(service, STATUS_ITEM), "Agent running" + DOT + "port " + port());
  EXPECT_EQ(client_->tooltip(service), "Idle (127.0.0.1:" + port() + ")");
  EXPECT_EQ(agent_.errors(), "");
  EXPECT_TRUE(process_alive(agent_.pid()));
}

TEST_F(TrayTest, NoTrayLeavesTheBusAlone) {
  start_watcher();
  ASSERT_TRUE(agent_.start({"--no-tray"}));
  EXPECT_EQ(agent_.get("/v1/status").status, 200u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(read_text(registrations()), "");
  EXPECT_FALSE(
      client_->has_owner("org.kde.StatusNotifierItem-" + std::to_string(agent_.pid()) + "-1"));
  EXPECT_EQ(agent_.output().find("System tray icon"), std::string::npos);
}

TEST(TrayWithoutBus, TheAgentServesAndSaysWhy) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "Tray icon unavailable: no session bus (DBUS_SESSION_BUS_ADDRESS is not set)\n"},
      {"unix:path=/nonexistent/bus",
       "Tray icon unavailable: could not connect to the session bus: No such file or directory\n"},
  };
  for (const auto& [address, message] : cases) {
    Agent agent;
    if (!address.empty()) agent.set_env("DBUS_SESSION_BUS_ADDRESS", address);
    ASSERT_TRUE(agent.start({}));
    EXPECT_TRUE(eventually([&] { return !agent.errors().empty(); }));
    EXPECT_EQ(agent.errors(), message);
    EXPECT_EQ(agent.output().find("System tray icon"), std::string::npos);
    EXPECT_EQ(agent.get("/v1/status").status, 200u);
  }
}

}  // namespace
}  // namespace vellora::test
