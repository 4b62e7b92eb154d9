// The blob store over HTTP: /v1/prepare and /v1/blobs, large bodies sent by curl.

#include <gtest/gtest.h>

#include <fstream>

#include "common/base64.h"
#include "harness.h"

namespace vellora::test {
namespace {

std::string blob(const std::string& content, std::string digest = "") {
  if (digest.empty()) digest = sha256_of(content);
  return R"({"sha256":")" + digest + R"(","b64":")" + base64_encode(content) + R"("})";
}

class BlobsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new Agent();
    ASSERT_TRUE(agent_->start());
    token_ = new std::string(agent_->pair());
  }
  static void TearDownTestSuite() {
    delete agent_;
    delete token_;
  }
  static HttpResponse post(const std::string& path, const std::string& body) {
    return agent_->post_auth(path, body, *token_);
  }
  static std::filesystem::path blob_file(const std::string& content) {
    return agent_->cache_dir() / "blobs" / sha256_of(content);
  }
  static Agent* agent_;
  static std::string* token_;
};
Agent* BlobsTest::agent_ = nullptr;
std::string* BlobsTest::token_ = nullptr;

TEST_F(BlobsTest, PrepareListsEachMissingDigestOnceInLowerCase) {
  ASSERT_EQ(post("/v1/blobs", "{\"blobs\":[" + blob("present") + "]}").body, R"({"stored":1})");
  const std::string missing = sha256_of("missing");
  std::string upper = missing;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  const std::string body = R"({"files":[{"path":"a.tex","sha256":")" + upper +
                           R"("},{"path":"b.tex","sha256":")" + sha256_of("present") +
                           R"("},["c.tex",")" + missing + R"("]]})";
  EXPECT_EQ(post("/v1/prepare", body).body, R"({"need":[")" + missing + R"("]})");
  EXPECT_EQ(post("/v1/prepare", R"({"files":[]})").body, R"({"need":[]})");
}

TEST_F(BlobsTest, PrepareTakesAHundredThousandFilesAndNoMore) {
  // Each missing digest is listed once, in the order of first appearance, however long the list.
  std::string files;
  std::vector<std::string> digests;
  for (int i = 0; i < 100000; ++i) {
    digests.push_back(sha256_of(std::to_string(i % 60000)));
    files += std::string(i ? "," : "") + R"({"path":"f)" + std::to_string(i) + R"(","sha256":")" +
             digests.back() + R"("})";
  }
  const auto response = post("/v1/prepare", "{\"files\":[" + files + "]}");
  ASSERT_EQ(response.status, 200u);
  const json::value reply = response.json();
  const auto& need = reply.at("need").as_array();
  ASSERT_EQ(need.size(), 60000u);
  for (std::size_t i = 0; i < need.size(); ++i) ASSERT_EQ(need[i], digests[i].c_str()) << i;

  const auto too_long = post(
      "/v1/prepare", "{\"files\":[" + files + R"(,{"path":"x","sha256":")" + digests[0] + "\"}]}");
  EXPECT_EQ(too_long.status, 400u);
  EXPECT_EQ(too_long.json().at("error"), "invalid list: more than 100000 files");
}

TEST_F(BlobsTest, PrepareRejectsBadLists) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({})", "invalid list: invalid type: null, expected a sequence"},
      {R"({"files":{}})", "invalid list: invalid type: map, expected a sequence"},
      {R"({"files":[{"path":"a"}]})", "invalid list: missing field `sha256`"},
      {R"({"files":[{"path":"a","sha256":5}]})",
       "invalid list: invalid type: integer `5`, expected a string"},
      {R"({"files":[{"path":"a","sha256":")" + std::string(63, 'a') + R"("}]})", "invalid hash"},
      {R"({"files":[{"path":"a","sha256":")" + std::string(63, 'a') + R"(g"}]})", "invalid hash"},
      {R"({"files":[{"path":"a","sha256":")" + std::string(64, 'a') +
           R"("},{"sha256":"x","path":"a","sha256":")" + std::string(64, 'a') + R"("}]})",
       "invalid list: duplicate field `sha256`"},
  };
  for (const auto& [body, error] : cases) {
    const auto response = post("/v1/prepare", body);
    EXPECT_EQ(response.status, 400u) << body;
    EXPECT_EQ(response.json().at("error"), error.c_str()) << body;
  }
}

TEST_F(BlobsTest, UploadVerifiesEachContent) {
  const std::pair<std::string, std::string> errors[] = {
      {R"({})", "no blobs"},
      {R"({"blobs":{}})", "no blobs"},
      {R"({"blobs":"x"})", "no blobs"},
      {R"({"blobs":[{"sha256":")" + sha256_of("A") + R"(","b64":"QQ"}]})", "invalid base64"},
      {R"({"blobs":[{"sha256":")" + sha256_of("A") + R"(","b64":"QR=="}]})", "invalid base64"},
      {R"({"blobs":[{"sha256":")" + sha256_of("A") + R"(","b64":"Q Q=="}]})", "invalid base64"},
      {R"({"blobs":[{"sha256":")" + sha256_of("A").substr(1) + R"(","b64":"QQ=="}]})",
       "the content does not match the hash"},
  };
  for (const auto& [body, error] : errors) {
    const auto response = post("/v1/blobs", body);
    EXPECT_EQ(response.status, 400u) << body;
    EXPECT_EQ(response.json().at("error"), error.c_str()) << body;
  }
  EXPECT_FALSE(std::filesystem::exists(blob_file("A")));
}

TEST_F(BlobsTest, UploadStoresOnceAndKeepsEarlierBlobsOnFailure) {
  std::string upper = sha256_of("upper");
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  // Elements that are not objects with two strings are skipped silently.
  const std::string body = "{\"blobs\":[" + blob("upper", upper) + "," + blob("") +
                           R"(,"bare",{"sha256":1,"b64":"QQ=="},{"sha256":")" + sha256_of("A") +
                           R"(","b64":5}]})";
  EXPECT_EQ(post("/v1/blobs", body).body, R"({"stored":2})");
  EXPECT_EQ(read_text(blob_file("upper")), "upper");
  EXPECT_TRUE(std::filesystem::exists(blob_file("")));
  EXPECT_EQ(std::filesystem::file_size(blob_file("")), 0u);
  EXPECT_EQ(post("/v1/blobs", body).body, R"({"stored":0})");

  const auto response = post(
      "/v1/blobs", "{\"blobs\":[" + blob("first") + "," + blob("second", sha256_of("x")) + "]}");
  EXPECT_EQ(response.status, 400u);
  EXPECT_EQ(read_text(blob_file("first")), "first");
  EXPECT_FALSE(std::filesystem::exists(blob_file("second")));
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(agent_->cache_dir() / "blobs"))
    EXPECT_EQ(entry.path().filename().string().size(), 64u) << entry.path();
}

// Bodies large enough that the server reads them in several pieces, with the fault past the first
// piece: the replies are those of a small body, and the store holds only complete blobs under
// their own digests, no temporary file.
TEST_F(BlobsTest, FaultsInLargeBodiesLeaveOnlyCompleteBlobs) {
  const std::string a(600000, 'a'), b(600000, 'b'), c(600000, 'c');
  std::string bad_base64 = blob(std::string(1 << 20, 'd'));
  bad_base64[bad_base64.find("\"b64\":\"") + 6 + 262143] = '*';  // around a piece boundary
  const std::string mismatch =
      "{\"blobs\":[" + blob(a) + "," + blob(b, sha256_of("x")) + "," + blob(c) + "]}";
  const std::string complete = "{\"blobs\":[" + blob(a) + "," + blob(b) + "]}";
  const std::string cut = complete.substr(0, complete.size() - complete.size() / 4);
  struct Case {
    std::string name, request;
    bool end_sending;
    std::string reply;
    bool keeps_first;  // the blob of `a`, completed before the fault
  };
  const auto request = [&](const std::string& body, std::size_t length) {
    return "POST /v1/blobs HTTP/1.1\r\nHost: " + agent_->host() + "\r\nAuthorization: Bearer " +
           *token_ + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\n\r\n" + body;
  };
  const Case cases[] = {
      {"digest mismatch in the middle", request(mismatch, mismatch.size()), false,
       R"({"error":"the content does not match the hash","stored":1})", true},
      {"invalid base64 past the first piece",
       request("{\"blobs\":[" + bad_base64 + "]}", bad_base64.size() + 12), false,
       R"({"error":"invalid base64","stored":0})", false},
      {"body cut off inside a string", request(cut, complete.size()), true,
       R"({"error":"partial message","stored":1})", true},
  };
  const auto blobs = agent_->cache_dir() / "blobs";
  for (const auto& [name, bytes, end_sending, reply, keeps_first] : cases) {
    for (const auto& content : {a, b, c}) std::filesystem::remove(blob_file(content));
    const std::string response =
        raw_exchange(agent_->port(), bytes, std::chrono::seconds(20), end_sending);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 400")) << name << ": " << response.substr(0, 200);
    EXPECT_TRUE(response.ends_with(reply)) << name << ": " << response.substr(0, 400);
    EXPECT_EQ(std::filesystem::exists(blob_file(a)), keeps_first) << name;
    EXPECT_FALSE(std::filesystem::exists(blob_file(b))) << name;
    EXPECT_FALSE(std::filesystem::exists(blob_file(c))) << name;
    for (const auto& entry : std::filesystem::directory_iterator(blobs))
      EXPECT_EQ(entry.path().filename().string().size(), 64u) << name << ": " << entry.path();
  }
}

TEST_F(BlobsTest, RepeatedOrRefusedBlobsMembersAnswerAsTheWholeBodyWould) {
  const std::string twice =
      "{\"blobs\":[" + blob("repeated") + "],\"blobs\":[" + blob("repeated") + "]}";
  EXPECT_EQ(post("/v1/blobs", twice).body, R"({"stored":1})");
  const auto refused = post("/v1/blobs", "{\"blobs\":[" + blob("kept anyway") + "],\"blobs\":5}");
  EXPECT_EQ(refused.status, 400u);
  EXPECT_EQ(refused.body, R"({"error":"no blobs","stored":1})");
  EXPECT_EQ(read_text(blob_file("kept anyway")), "kept anyway");
}

TEST_F(BlobsTest, PathsWithANameTooLongForTheFileSystemAreRefusedByName) {
  const std::string name(304, 'n');
  const std::string digest = sha256_of("x");
  for (const std::string& path : {name + ".tex", "chap/" + name, "a/" + name + "/b.tex"}) {
    const auto response =
        post("/v1/prepare", R"({"files":[{"path":")" + path + R"(","sha256":")" + digest + "\"}]}");
    EXPECT_EQ(response.status, 400u) << path;
    EXPECT_NE(response.body.find(path), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("longer than the file system allows"), std::string::npos)
        << response.body;
  }
  // A name of 255 bytes is one every system stores.
  EXPECT_EQ(post("/v1/prepare", R"({"files":[{"path":")" + std::string(255, 'n') +
                                    R"(","sha256":")" + digest + "\"}]}")
                .status,
            200u);
}

TEST_F(BlobsTest, OtherBodiesHaveALimitFittingTheirLargestRequest) {
  struct Case {
    const char* route;
    std::size_t size;
    unsigned status;
  } cases[] = {
      {"/v1/prepare", (64 << 20) + 1, 400},
      {"/v1/compile", (64 << 20) + 1, 400},
      {"/v1/synctex", 64 * 1024 + 1, 400},
      {"/v1/cancel", 64 * 1024 + 1, 400},
  };
  for (const auto& c : cases) {
    std::string body = R"({"pad":")" + std::string(c.size - 10, 'x') + "\"}";
    const auto response = post(c.route, body);
    EXPECT_EQ(response.status, c.status) << c.route;
    EXPECT_EQ(response.body, R"({"error":"body too large"})") << c.route;
  }
}

TEST_F(BlobsTest, EmptyUploadCreatesTheStore) {
  Agent fresh;
  ASSERT_TRUE(fresh.start());
  const std::string token = fresh.pair();
  EXPECT_EQ(fresh.post_auth("/v1/blobs", R"({"blobs":[]})", token).body, R"({"stored":0})");
  EXPECT_TRUE(std::filesystem::is_directory(fresh.cache_dir() / "blobs"));
}

platform::RunResult curl_post(const std::string& url, const std::string& token,
                              const std::filesystem::path& file) {
  platform::Command curl;
  curl.program = "curl";
  curl.args = {"-sS",
               "-v",
               "-H",
               "Authorization: Bearer " + token,
               "-H",
               "Content-Type: application/json",
               "--data-binary",
               "@" + file.string(),
               url};
  curl.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(120);
  return platform::run(curl, options).value();
}

TEST_F(BlobsTest, CurlUploadOfAHundredMegabytesWithExpectContinue) {
  TempDir dir;
  std::string content(75 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 3);
  const std::filesystem::path body = dir.path() / "body.json";
  write_file(body, "{\"blobs\":[" + blob(content) + "]}");
  const std::string url = "http://" + agent_->host() + "/v1/blobs";
  const auto result = curl_post(url, *token_, body);
  EXPECT_EQ(result.out, R"({"stored":1})") << result.err.substr(0, 2000);
  EXPECT_NE(result.err.find("Expect: 100-continue"), std::string::npos);
  EXPECT_NE(result.err.find("HTTP/1.1 100 Continue"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(blob_file(content)), content.size());
}

TEST_F(BlobsTest, ChunkedBodyIsReadToo) {
  TempDir dir;
  const std::string content(3 << 20, 'c');
  const std::filesystem::path body = dir.path() / "body.json";
  write_file(body, "{\"blobs\":[" + blob(content) + "]}");
  platform::Command curl;
  curl.program = "curl";
  curl.args = {"-sS",
               "-H",
               "Authorization: Bearer " + *token_,
               "-H",
               "Transfer-Encoding: chunked",
               "--data-binary",
               "@" + body.string(),
               "http://" + agent_->host() + "/v1/blobs"};
  curl.capture_output = true;
  const auto result = platform::run(curl).value();
  EXPECT_EQ(result.out, R"({"stored":1})") << result.err;
  EXPECT_EQ(std::filesystem::file_size(blob_file(content)), content.size());
}

TEST_F(BlobsTest, BodyOneByteOverTheLimitIsRefused) {
  TempDir dir;
  const std::filesystem::path body = dir.path() / "big.json";
  {
    std::ofstream out(body, std::ios::binary);
    out.seekp((std::streamoff{256} << 20));  // 256 MiB + 1 byte
    out.put(' ');
  }
  const auto result = curl_post("http://" + agent_->host() + "/v1/blobs", *token_, body);
  EXPECT_EQ(result.out, R"({"error":"body too large","stored":0})") << result.err.substr(0, 2000);
  EXPECT_NE(result.err.find("HTTP/1.1 400"), std::string::npos);
}

}  // namespace
}  // namespace vellora::test
