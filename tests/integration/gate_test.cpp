// The request gate of the real binary: Host and Origin allow-lists, preflights, routing, the
// order of the checks, and the status endpoint.

#include <gtest/gtest.h>

#include "harness.h"

namespace vellora::test {
namespace {

const Headers CORS_HEADERS_OF_PREFLIGHT = {
    {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
    {"Access-Control-Allow-Headers", "Content-Type, Authorization"},
    {"Access-Control-Allow-Private-Network", "true"},
    {"Access-Control-Max-Age", "600"}};

class GateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new Agent();
    agent_->set_env("VELLORA_ORIGINS", " https://a.example/ , ,, http://b.example//");
    ASSERT_TRUE(agent_->start()) << agent_->errors();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  static Agent* agent_;
};
Agent* GateTest::agent_ = nullptr;

TEST_F(GateTest, HostAllowList) {
  const std::string port = std::to_string(agent_->port());
  struct Case {
    std::optional<std::string> host;
    unsigned status;
  } cases[] = {
      {"127.0.0.1:" + port, 200},
      {"LOCALHOST:" + port, 200},
      {"localhost", 200},
      {"[::1]:" + port, 200},
      {"[::1]", 200},
      {"localhost:8080", 403},
      {"127.0.0.1.example", 403},
      {"evil.example:" + port, 403},
      {std::nullopt, 403},
  };
  for (const auto& c : cases) {
    Headers headers = {{"Origin", "http://localhost:3000"}};
    if (c.host) headers.emplace_back("Host", *c.host);
    const auto response = http_request(agent_->port(), "GET", "/v1/status", headers);
    EXPECT_EQ(response.status, c.status) << c.host.value_or("(none)");
    if (c.status == 403) {
      EXPECT_EQ(response.body, R"({"error":"host not allowed"})");
      EXPECT_FALSE(response.header("Access-Control-Allow-Origin"));
    }
  }
}

TEST_F(GateTest, OriginAllowList) {
  struct Case {
    std::optional<std::string> origin;
    bool allowed;
  } cases[] = {
      {"http://localhost:3000", true},
      {"https://a.example", true},
      {"http://b.example", true},
      {std::nullopt, true},
      {"null", false},
      {"http://localhost:3000/", false},
      {"HTTP://localhost:3000", false},
      {"http://localhost:3001", false},
  };
  for (const auto& c : cases) {
    Headers headers;
    if (c.origin) headers.emplace_back("Origin", *c.origin);
    const auto response = agent_->get("/v1/status", headers);
    const std::string label = c.origin.value_or("(none)");
    if (!c.allowed) {
      EXPECT_EQ(response.status, 403u) << label;
      EXPECT_EQ(response.body, R"({"error":"origin not allowed"})") << label;
      EXPECT_FALSE(response.header("Access-Control-Allow-Origin")) << label;
      continue;
    }
    EXPECT_EQ(response.status, 200u) << label;
    EXPECT_EQ(response.header("Access-Control-Allow-Origin"), c.origin) << label;
    EXPECT_EQ(response.header("Vary"),
              c.origin ? std::optional<std::string>("Origin") : std::nullopt);
    EXPECT_EQ(response.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(response.header("Cache-Control"), "no-store");
  }
}

TEST_F(GateTest, PreflightAnswersAnyPathWithFixedHeaders) {
  auto response = http_request(agent_->port(), "OPTIONS", "/no/such/route",
                               {{"Host", agent_->host()}, {"Origin", "http://localhost:3000"}});
  EXPECT_EQ(response.status, 204u);
  Headers expected = CORS_HEADERS_OF_PREFLIGHT;
  expected.emplace_back("Access-Control-Allow-Origin", "http://localhost:3000");
  expected.emplace_back("Vary", "Origin");
  EXPECT_EQ(response.headers, expected);
  EXPECT_EQ(response.body, "");

  response = http_request(agent_->port(), "OPTIONS", "/v1/compile", {{"Host", agent_->host()}});
  EXPECT_EQ(response.status, 204u);
  EXPECT_EQ(response.headers, CORS_HEADERS_OF_PREFLIGHT);

  response = http_request(agent_->port(), "OPTIONS", "/v1/compile",
                          {{"Host", agent_->host()}, {"Origin", "https://evil.example"}});
  EXPECT_EQ(response.status, 403u);
  EXPECT_FALSE(response.header("Access-Control-Allow-Origin"));

  response = http_request(agent_->port(), "OPTIONS", "/v1/compile", {{"Host", "evil.example"}});
  EXPECT_EQ(response.status, 403u);
  EXPECT_EQ(response.body, R"({"error":"host not allowed"})");
}

TEST_F(GateTest, RoutesMatchExactPaths) {
  struct Case {
    const char* method;
    const char* target;
    unsigned status;
  } cases[] = {
      {"GET", "/v1/status?x=1", 200}, {"GET", "/v1/status/", 404},   {"GET", "/V1/STATUS", 404},
      {"PUT", "/v1/status", 404},     {"DELETE", "/v1/status", 404}, {"GET", "/v1/compile", 404},
      {"POST", "/v1/status", 404},    {"POST", "/v1/nothing", 404},  {"GET", "/", 404},
  };
  for (const auto& c : cases) {
    const auto response =
        http_request(agent_->port(), c.method, c.target,
                     {{"Host", agent_->host()}, {"Origin", "http://localhost:3000"}});
    EXPECT_EQ(response.status, c.status) << c.method << " " << c.target;
    if (c.status == 404) {
      EXPECT_EQ(response.body, R"({"error":"not found"})");
      EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "http://localhost:3000");
    }
  }
}

TEST_F(GateTest, HeadGetsNoBodyAndTheConnectionStaysUsable) {
  const std::string request = "HEAD /v1/status HTTP/1.1\r\nHost: " + agent_->host() +
                              "\r\n\r\nGET /nothing HTTP/1.1\r\nHost: " + agent_->host() +
                              "\r\nConnection: close\r\n\r\n";
  const std::string received = raw_exchange(agent_->port(), request, std::chrono::seconds(3));
  EXPECT_TRUE(received.starts_with("HTTP/1.1 404 Not Found\r\n")) << received;
  const auto second = received.find("HTTP/1.1 404", 10);
  ASSERT_NE(second, std::string::npos) << received;
  EXPECT_EQ(received.substr(received.size() - 21), R"({"error":"not found"})");
  EXPECT_EQ(received.find("{"), received.rfind("{"));  // one body only
}

TEST_F(GateTest, TokenIsCheckedBeforeTheBody) {
  for (const char* path : {"/v1/prepare", "/v1/blobs", "/v1/compile"}) {
    const auto response = agent_->post(path, "this is not JSON");
    EXPECT_EQ(response.status, 401u) << path;
    EXPECT_EQ(response.body, R"({"error":"not paired: invalid code or token"})");
  }
  // The body is announced but never sent: the 401 comes without waiting for it.
  const std::string request = "POST /v1/compile HTTP/1.1\r\nHost: " + agent_->host() +
                              "\r\nContent-Length: 1000\r\nExpect: 100-continue\r\n\r\n";
  const std::string received = raw_exchange(agent_->port(), request, std::chrono::seconds(3));
  EXPECT_TRUE(received.starts_with("HTTP/1.1 401")) << received;
  EXPECT_EQ(received.find("100 Continue"), std::string::npos);

  const auto unpair = agent_->post("/v1/unpair", "");
  EXPECT_EQ(unpair.status, 401u);
  EXPECT_EQ(unpair.body, R"({"error":"not paired"})");
}

TEST_F(GateTest, PairingRoutesNeedAnOrigin) {
  EXPECT_EQ(agent_->post("/v1/pair/confirm", R"({"code":"x"})").status, 404u);
  EXPECT_EQ(agent_->post("/v1/pair/request", "").status, 404u);
}

TEST_F(GateTest, BodyMustBeOneJsonValue) {
  const Headers origin = {{"Origin", "http://localhost:3000"}};
  auto response = agent_->post("/v1/pair/confirm", "{\"code\":\"AAAA\"}\r\n \n", origin);
  EXPECT_EQ(response.status, 401u) << response.body;
  response = agent_->post("/v1/pair/confirm", "{\"code\":\"AAAA\"} {}", origin);
  EXPECT_EQ(response.status, 400u);
  EXPECT_TRUE(response.json().at("error").as_string().starts_with("invalid JSON: "))
      << response.body;
  response = agent_->post("/v1/pair/confirm", "", origin);
  EXPECT_EQ(response.status, 400u);
  EXPECT_TRUE(response.json().at("error").as_string().starts_with("invalid JSON: "))
      << response.body;
}

TEST_F(GateTest, StatusOfAFreshAgentIsByteExact) {
  const auto response = agent_->get("/v1/status");
  ASSERT_EQ(response.status, 200u);
  // The engines are those of this machine; everything around them is fixed.
  const std::string prefix = R"({"agent":"vellora-agent","autoUpdate":"notify","engines":)";
  const std::string suffix = R"(,"paired":false,"update":null,"version":"0.4.15"})";
  ASSERT_TRUE(response.body.starts_with(prefix)) << response.body;
  ASSERT_TRUE(response.body.ends_with(suffix)) << response.body;
  const std::string engines =
      response.body.substr(prefix.size(), response.body.size() - prefix.size() - suffix.size());
  const json::value parsed = json::parse(engines);
  for (const auto& engine : parsed.as_array()) {
    const auto& object = engine.as_object();
    ASSERT_EQ(object.size(), 3u);
    auto it = object.begin();
    EXPECT_EQ((it++)->key(), "id");
    EXPECT_EQ((it++)->key(), "name");
    EXPECT_EQ((it++)->key(), "version");
  }
}

TEST_F(GateTest, StatusReadsThePolicyFromSettings) {
  write_file(agent_->config_dir() / "settings.json", "{\n  \"auto_update\": \"off\"\n}");
  EXPECT_EQ(agent_->get("/v1/status").json().at("autoUpdate"), "off");
  write_file(agent_->config_dir() / "settings.json", "{\"auto_update\": \"sometimes\"}");
  EXPECT_EQ(agent_->get("/v1/status").json().at("autoUpdate"), "notify");
  std::filesystem::remove(agent_->config_dir() / "settings.json");
}

}  // namespace
}  // namespace vellora::test
