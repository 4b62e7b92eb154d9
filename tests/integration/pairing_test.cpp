// Pairing end to end over HTTP: codes, confirmation, limits, tokens, unpairing, the legacy token,
// and the desktop programs the request runs.

#include <gtest/gtest.h>

#include <thread>

#include "auth/tokens.h"
#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

const Headers PAGE = {{"Origin", "http://localhost:3000"}};

std::string confirm_body(const std::string& code) {
  return json::serialize(json::object{{"code", code}});
}

std::string issue_code(const Agent& agent) {
  const auto out = agent.run({"code"}).out;
  return out.substr(0, out.find('\n'));
}

std::string device_json(const std::string& id, std::uint64_t last_used) {
  return R"({"id":")" + id + R"(","hash":")" + std::string(64, 'a') +
         R"(","label":"x","created":1,"last_used":)" + std::to_string(last_used) + "}";
}

void write_devices(const Agent& agent, const std::vector<std::string>& devices) {
  std::string text = R"({"devices":[)";
  for (std::size_t i = 0; i < devices.size(); ++i) text += (i ? "," : "") + devices[i];
  write_file(agent.config_dir() / "devices.json", text + "]}");
}

// The clipboard program: xclip on Linux, clip on Windows.
const std::string CLIP = platform::on_windows() ? "clip" : "xclip";

class PairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Windows shows toasts through PowerShell, which a test cannot replace.
    write_script(agent_.bin() / "notify-send", "printf '[%s]' \"$@\" >> \"$0.args\"\n");
    if (platform::on_windows()) {
      // clip and PowerShell come from the system folder: stand-ins take its place.
      agent_.set_env("VELLORA_SYSTEM_PROGRAMS", platform::path_text(agent_.bin()));
      std::filesystem::copy_file(helper_binary(), agent_.bin() / "clip.exe");
      std::filesystem::create_directories(agent_.bin() / "WindowsPowerShell/v1.0");
      std::filesystem::copy_file(helper_binary(),
                                 agent_.bin() / "WindowsPowerShell/v1.0/powershell.exe");
    } else {
      write_script(agent_.bin() / CLIP,
                   "printf '%s\\n' \"$@\" > \"$0.args\"; cat > \"$0.stdin\"\n");
    }
    // The rate limit's clock, stepped by the tests that need it (the real time until then).
    agent_.set_env("VELLORA_PAIR_CLOCK_FILE", clock_file().string());
    ASSERT_TRUE(agent_.start());
  }
  std::filesystem::path clock_file() const { return agent_.root() / "pair-clock"; }
  void set_clock(std::uint64_t seconds) const { write_file(clock_file(), std::to_string(seconds)); }
  std::string clipboard() const { return read_text(agent_.bin() / (CLIP + ".stdin")); }
  Agent agent_;
};

TEST_F(PairingTest, RequestShowsAndCopiesTheCodeAndIsRateLimited) {
  // However slow this machine, the clock of the limit moves only when the test steps it.
  set_clock(1000000);
  auto response = agent_.post("/v1/pair/request", "", PAGE);
  ASSERT_EQ(response.status, 200u) << response.body;
  EXPECT_EQ(response.body, R"({"clipboard":true,"notified":true})");
  EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "http://localhost:3000");

  const std::string code = clipboard();
  ASSERT_EQ(code.size(), 14u);
  EXPECT_EQ(response.body.find(code), std::string::npos);
  if (!platform::on_windows()) {
    EXPECT_EQ(read_text(agent_.bin() / "xclip.args"), "-selection\nclipboard\n");
    // From "Vellora" rather than "notify-send", and kept as long as the code is valid.
    const std::string notification = read_text(agent_.bin() / "notify-send.args");
    EXPECT_TRUE(notification.starts_with(
        "[--app-name=Vellora][--expire-time=300000][--][Vellora: pairing code][Code: " + code +
        "\n\n"))
        << notification;
    EXPECT_NE(notification.find("already been copied to the clipboard"), std::string::npos);
  } else {
    const std::string toast = read_text(agent_.bin() / "WindowsPowerShell/v1.0/planted.log");
    EXPECT_NE(toast.find("$t.ExpirationTime = [DateTimeOffset]::Now.AddSeconds(300);"),
              std::string::npos)
        << toast;
    EXPECT_NE(toast.find("SetAttribute('duration', 'long')"), std::string::npos) << toast;
  }

  // Within 3 seconds a request is refused, and the window restarts with every refused request.
  set_clock(1000002);
  EXPECT_EQ(agent_.post("/v1/pair/request", "", PAGE).status, 429u);
  set_clock(1000004);
  response = agent_.post("/v1/pair/request", "", PAGE);
  EXPECT_EQ(response.status, 429u);
  EXPECT_EQ(response.body, R"({"error":"wait a few seconds"})");
  set_clock(1000007);
  EXPECT_EQ(agent_.post("/v1/pair/request", "", PAGE).status, 200u);
  set_clock(1000010);
  EXPECT_EQ(agent_.post("/v1/pair/request", "", PAGE).status, 200u);
}

TEST_F(PairingTest, MissingDesktopProgramsOnlyChangeTheFlags) {
  std::filesystem::remove(agent_.bin() / "notify-send");
  std::filesystem::remove(agent_.bin() / "WindowsPowerShell/v1.0/powershell.exe");
  if (platform::on_windows()) {
    std::filesystem::remove(agent_.bin() / "clip.exe");
  } else {
    write_script(agent_.bin() / CLIP, "exit 1\n");
  }
  const auto response = agent_.post("/v1/pair/request", "", PAGE);
  EXPECT_EQ(response.body, R"({"clipboard":false,"notified":false})");
}

// An agent started before the graphical session takes the session's display from the user
// manager; without one anywhere, the reply and the agent's log say so.
TEST_F(PairingTest, WithoutADisplayTheReplyAndTheLogSaySo) {
  if (platform::on_windows()) GTEST_SKIP() << "every Windows session has its desktop";
  agent_.stop();
  agent_.unset_env("DISPLAY");
  agent_.set_env("VELLORA_SYSTEMCTL", (agent_.bin() / "systemctl").string());
  write_script(agent_.bin() / CLIP, "printf '%s' \"$DISPLAY\" > \"$0.display\"; cat > /dev/null\n");
  write_script(agent_.bin() / "systemctl", "printf 'HOME=/h\\nDISPLAY=:5\\n'\n");
  ASSERT_TRUE(agent_.start());
  set_clock(1000000);
  auto response = agent_.post("/v1/pair/request", "", PAGE);
  EXPECT_EQ(response.body, R"({"clipboard":true,"notified":true})");
  EXPECT_EQ(read_text(agent_.bin() / (CLIP + ".display")), ":5");
  EXPECT_EQ(agent_.errors(), "");

  write_script(agent_.bin() / "systemctl", "printf 'HOME=/h\\n'\n");
  set_clock(1000010);
  response = agent_.post("/v1/pair/request", "", PAGE);
  EXPECT_EQ(response.body, R"({"clipboard":true,"display":false,"notified":true})");
  EXPECT_NE(agent_.errors().find("Desktop: copying to the clipboard may fail: neither DISPLAY nor "
                                 "WAYLAND_DISPLAY is set"),
            std::string::npos)
      << agent_.errors();
}

TEST_F(PairingTest, ConfirmedCodeGivesAWorkingToken) {
  const std::string code = issue_code(agent_);
  std::string typed = code;
  std::erase(typed, '-');
  for (char& c : typed) c = static_cast<char>(std::tolower(c));
  const auto response = agent_.post("/v1/pair/confirm", confirm_body(" " + typed + " "), PAGE);
  ASSERT_EQ(response.status, 200u) << response.body;
  const std::string token(response.json().at("token").as_string());
  const std::string id(response.json().at("deviceId").as_string());
  EXPECT_EQ(token.size(), 68u);
  EXPECT_TRUE(token.starts_with("vat_"));
  EXPECT_EQ(id, sha256_of(token).substr(0, 8));
  EXPECT_FALSE(std::filesystem::exists(agent_.config_dir() / "pairing.json"));

  const std::string devices = read_text(agent_.config_dir() / "devices.json");
  EXPECT_NE(devices.find("\"label\": \"http://localhost:3000\""), std::string::npos) << devices;
  EXPECT_EQ(devices.find(token), std::string::npos);

  EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", "Bearer " + token}}).json().at("paired"),
            true);
  // Single use.
  EXPECT_EQ(agent_.post("/v1/pair/confirm", confirm_body(code), PAGE).json().at("reason"),
            "invalid");

  const auto unpair = agent_.post("/v1/unpair", "", {{"Authorization", "Bearer " + token}});
  EXPECT_EQ(unpair.body, R"({"ok":true})");
  EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", "Bearer " + token}}).json().at("paired"),
            false);
}

TEST_F(PairingTest, FifthWrongCodeLocksIt) {
  const std::string code = issue_code(agent_);
  for (int i = 0; i < 4; ++i) {
    const auto response = agent_.post("/v1/pair/confirm", confirm_body("WRONG"), PAGE);
    EXPECT_EQ(response.status, 401u);
    EXPECT_EQ(response.body, R"({"error":"invalid code","reason":"invalid"})");
  }
  EXPECT_NE(read_text(agent_.config_dir() / "pairing.json").find("\"attempts\":4"),
            std::string::npos);
  // A number is an empty code: a wrong attempt too.
  auto response = agent_.post("/v1/pair/confirm", R"({"code":12})", PAGE);
  EXPECT_EQ(response.status, 429u);
  EXPECT_EQ(response.body,
            R"({"error":"too many attempts: ask for a new code","reason":"locked"})");
  EXPECT_FALSE(std::filesystem::exists(agent_.config_dir() / "pairing.json"));
  EXPECT_EQ(agent_.post("/v1/pair/confirm", confirm_body(code), PAGE).status, 401u);
}

TEST_F(PairingTest, ExpiredCodeIsRefusedAndDeleted) {
  write_file(agent_.config_dir() / "pairing.json", R"({"code":"ABCD-EFGH-JKLM","expires":)" +
                                                       std::to_string(now_secs() - 1) +
                                                       R"(,"attempts":0})");
  const auto response = agent_.post("/v1/pair/confirm", confirm_body("ABCD-EFGH-JKLM"), PAGE);
  EXPECT_EQ(response.status, 401u);
  EXPECT_EQ(response.body, R"({"error":"expired code","reason":"expired"})");
  EXPECT_FALSE(std::filesystem::exists(agent_.config_dir() / "pairing.json"));
}

TEST_F(PairingTest, TwentyBrowsersAtMostButIdleOnesArePruned) {
  std::vector<std::string> devices;
  for (int i = 0; i < 20; ++i)
    devices.push_back(device_json("0000000" + std::to_string(i % 10), now_secs()));
  write_devices(agent_, devices);
  const std::string code = issue_code(agent_);
  auto response = agent_.post("/v1/pair/confirm", confirm_body(code), PAGE);
  EXPECT_EQ(response.status, 409u);
  EXPECT_EQ(
      response.body,
      R"x({"error":"paired browser limit reached (vellora-agent revoke)","reason":"too_many"})x");
  EXPECT_NE(read_text(agent_.config_dir() / "pairing.json").find("\"attempts\":0"),
            std::string::npos);

  devices[5] = device_json("idle0000", now_secs() - 7'776'000);
  write_devices(agent_, devices);
  response = agent_.post("/v1/pair/confirm", confirm_body(code), PAGE);
  ASSERT_EQ(response.status, 200u) << response.body;
  const std::string text = read_text(agent_.config_dir() / "devices.json");
  EXPECT_EQ(json::parse(text).at("devices").as_array().size(), 20u);
  EXPECT_EQ(text.find("idle0000"), std::string::npos);
}

TEST_F(PairingTest, IdleDeviceIsDroppedByItsOwnRequest) {
  const std::string token = agent_.pair();
  const std::string id = sha256_of(token).substr(0, 8);
  const std::string hash = sha256_of(token);
  const auto with_last_used = [&](std::uint64_t t) {
    write_file(agent_.config_dir() / "devices.json",
               R"({"devices":[{"id":")" + id + R"(","hash":")" + hash +
                   R"(","label":"x","created":1,"last_used":)" + std::to_string(t) + "}]}");
  };
  // Used 30 s ago: nothing is written. 60 s ago: the new time is stored.
  with_last_used(now_secs() - 30);
  const std::string before = read_text(agent_.config_dir() / "devices.json");
  EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", "Bearer " + token}}).json().at("paired"),
            true);
  EXPECT_EQ(read_text(agent_.config_dir() / "devices.json"), before);
  with_last_used(now_secs() - 60);
  EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", "Bearer " + token}}).json().at("paired"),
            true);
  EXPECT_NE(read_text(agent_.config_dir() / "devices.json"), before);

  with_last_used(now_secs() - 7'776'000);
  EXPECT_EQ(agent_.post_auth("/v1/prepare", R"({"files":[]})", token).status, 401u);
  EXPECT_EQ(
      json::parse(read_text(agent_.config_dir() / "devices.json")).at("devices").as_array().size(),
      0u);
}

TEST_F(PairingTest, LegacyTokenIgnoresCaseAndPunctuation) {
  write_file(agent_.config_dir() / "config.json", R"({"token":"AB12-CD34"})");
  const std::pair<const char*, bool> cases[] = {
      {"Bearer ab12cd34", true},      {"Bearer   AB-12 CD.34  ", true}, {"Bearer ab12cd3", false},
      {"Bearer ab12cd345", false},    {"bearer ab12cd34", false},       {"Bearer", false},
      {"Bearer vat_ab12cd34", false},
  };
  for (const auto& [authorization, paired] : cases)
    EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", authorization}}).json().at("paired"),
              paired)
        << authorization;
  EXPECT_EQ(agent_.post("/v1/unpair", "", {{"Authorization", "Bearer ab12cd34"}}).status, 200u);
  EXPECT_FALSE(std::filesystem::exists(agent_.config_dir() / "config.json"));
}

TEST_F(PairingTest, PunctuationOnlyLegacyTokenAcceptsNothing) {
  write_file(agent_.config_dir() / "config.json", R"({"token":"--"})");
  EXPECT_EQ(agent_.get("/v1/status", {{"Authorization", "Bearer ..."}}).json().at("paired"), false);
}

}  // namespace
}  // namespace vellora::test
