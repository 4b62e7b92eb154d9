// Uploads decoded while they arrive: whatever the pieces, the replies are those of the whole body,
// and nothing but complete, verified blobs stays in the store.

#include "project/blob_upload.h"

#include <gtest/gtest.h>

#include "common/base64.h"
#include "harness.h"
#include "pieces_body.h"

namespace vellora::test {
namespace {

std::string blob(const std::string& content, std::string digest = "") {
  if (digest.empty()) digest = sha256_of(content);
  return R"({"sha256":")" + digest + R"(","b64":")" + base64_encode(content) + R"("})";
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> store_listing(const fs::path& blobs) {
  std::vector<std::string> names;
  if (fs::exists(blobs))
    for (const auto& entry : fs::directory_iterator(blobs))
      names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BlobUpload, RepliesAndStoreAreTheSameForEveryPieceSize) {
  const std::string big(100000, 'b');
  struct Case {
    std::string body;
    std::string reply;
    std::vector<std::string> stored;  // contents in the store afterwards
  };
  const Case cases[] = {
      {"{\"blobs\":[" + blob("one") + "," + blob("two") + "]}", R"({"stored":2})", {"one", "two"}},
      {"{\"blobs\":[" + blob(big, upper(sha256_of(big))) + "]}", R"({"stored":1})", {big}},
      // The digest may follow the content.
      {R"({"blobs":[{"b64":")" + base64_encode("late") + R"(","sha256":")" + sha256_of("late") +
           R"("}]})",
       R"({"stored":1})",
       {"late"}},
      // A mismatch in the middle keeps the blobs before it and stores none after it.
      {"{\"blobs\":[" + blob("first") + "," + blob("second", sha256_of("x")) + "," + blob("third") +
           "]}",
       R"({"error":"the content does not match the hash","stored":1})",
       {"first"}},
      {"{\"blobs\":[" + blob("first") + R"(,{"sha256":")" + sha256_of("A") +
           R"(","b64":"QQ\u002A="}]})",
       R"({"error":"invalid base64","stored":1})",
       {"first"}},
      // Escapes are decoded before the base64 text is.
      {R"({"blobs":[{"sha256":")" + sha256_of("A") + R"(","b64":"Q\u0051=="}]})",
       R"({"stored":1})",
       {"A"}},
      {"{\"blobs\":[" + blob("first") + R"(,{"sha256":")" + sha256_of(big) + R"(","b64":")" +
           base64_encode(big).insert(50001, "*") + R"("}]})",
       R"({"error":"invalid base64","stored":1})",
       {"first"}},
      // Elements that are not objects with two strings are skipped.
      {"{\"blobs\":[" + blob("kept") + R"(,"bare",{"sha256":")" + sha256_of("A") +
           R"(","b64":{"x":"QQ=="}},{"sha256":1,"b64":"QQ=="}]})",
       R"({"stored":1})",
       {"kept"}},
      // Of repeated keys the last counts.
      {R"({"blobs":[{"sha256":")" + sha256_of("A") + R"(","b64":"QUI=","b64":"QQ=="}]})",
       R"({"stored":1})",
       {"A"}},
      {R"({"blobs":5,"blobs":[)" + blob("again") + "]}", R"({"stored":1})", {"again"}},
      // A refused body keeps the verified blobs it brought, and says how many.
      {R"({"blobs":[)" + blob("gone") + R"(],"blobs":{}})",
       R"({"error":"no blobs","stored":1})",
       {"gone"}},
      {R"({"blobs":[)" + blob("gone") + R"(],"blobs":5})",
       R"({"error":"no blobs","stored":1})",
       {"gone"}},
      // The same blob under a repeated key counts as the last member alone would.
      {R"({"blobs":[)" + blob("twice") + R"(],"blobs":[)" + blob("twice") + "]}",
       R"({"stored":1})",
       {"twice"}},
      {R"({"blobs":[)" + blob("one") + R"(],"blobs":[)" + blob("two") + "]}",
       R"({"stored":1})",
       {"one", "two"}},
      {R"({"blobs":{}})", R"({"error":"no blobs","stored":0})", {}},
      {R"(["blobs"])", R"({"error":"no blobs","stored":0})", {}},
      {R"({"blobs":[{"sha256":"a","b64":"QQ==")",
       R"({"error":"invalid JSON: incomplete JSON at line 1 column 36","stored":0})",
       {}},
      {"{\"blobs\":[" + blob("cut") + R"(,{"sha256":")" + sha256_of("x") + R"(","b64":"eA)",
       R"({"error":"invalid JSON: incomplete JSON at line 1 column 187","stored":1})",
       {"cut"}},
      {"{\"blobs\":[" + blob("x") + "]} x",
       R"({"error":"invalid JSON: trailing characters at line 1 column 104","stored":1})",
       {"x"}},
  };
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}}) {
    for (const Case& c : cases) {
      TempDir cache;
      ScopedEnv env("XDG_CACHE_HOME", cache.path().string());
      PiecesBody body(c.body, piece);
      const Reply reply = blobs_endpoint(body, std::nullopt);
      EXPECT_EQ(reply.body, c.reply) << c.body.substr(0, 200) << " in pieces of " << piece;
      std::vector<std::string> expected;
      for (const auto& content : c.stored) expected.push_back(sha256_of(content));
      std::sort(expected.begin(), expected.end());
      // Only complete blobs under their digests: no temporary file stays behind.
      EXPECT_EQ(store_listing(cache.path() / "vellora-agent" / "blobs"), expected)
          << c.body.substr(0, 200) << " in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace vellora::test
