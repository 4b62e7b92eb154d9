// The blob store when the disk takes no more: a file size limit on the agent stands in for a full
// disk (writes fail the same way, part-way through a file).

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>

#include "common/base64.h"
#include "harness.h"

namespace vellora::test {
namespace {

void limit_file_size(pid_t pid, rlim_t bytes) {
  rlimit limit{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, nullptr, &limit), 0);
  limit.rlim_cur = std::min(bytes, limit.rlim_max);
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0);
}

TEST(BlobsPosix, ABlobTheDiskCannotTakeIsAnErrorNamingTheCause) {
  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  ASSERT_EQ(agent.post_auth("/v1/blobs", R"({"blobs":[]})", token).status, 200u);
  limit_file_size(agent.pid(), 4096);
  const std::string small = "fits";
  const std::string large(100000, 'L');
  const auto entry = [](const std::string& content) {
    return R"({"sha256":")" + sha256_of(content) + R"(","b64":")" + base64_encode(content) + "\"}";
  };
  const auto response = agent.post_auth(
      "/v1/blobs", "{\"blobs\":[" + entry(small) + "," + entry(large) + "]}", token);
  EXPECT_EQ(response.status, 500u) << response.body;
  const std::string error(response.json().at("error").as_string());
  EXPECT_NE(error.find("could not be stored"), std::string::npos) << error;
  EXPECT_NE(error.find("File too large"), std::string::npos) << error;
  EXPECT_EQ(response.json().at("stored"), 1) << response.body;
  const auto blobs = agent.cache_dir() / "blobs";
  EXPECT_TRUE(std::filesystem::exists(blobs / sha256_of(small)));
  EXPECT_FALSE(std::filesystem::exists(blobs / sha256_of(large)));
  // Nothing half-written stays, and the agent goes on.
  for (const auto& file : std::filesystem::directory_iterator(blobs))
    EXPECT_EQ(file.path().filename().string().size(), 64u) << file.path();
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
}

}  // namespace
}  // namespace vellora::test
