// Upload throughput and memory of /v1/blobs against the machine's own limit for the same work.
//
// The limit is what this process needs, in the same run, to base64-decode the same text, hash
// the bytes and write them durably: the agent cannot do less. The agent's time is one POST of a
// 64 MiB blob over loopback, measured by the client. Memory: the agent's peak resident size after
// one 256 MiB body, against the body's size.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "common/base64.h"
#include "harness.h"
#include "platform/crypto.h"
#include "platform/files.h"

using namespace vellora;
using Clock = std::chrono::steady_clock;

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = random();
    std::memcpy(bytes.data() + i, &v, 8);
  }
  return bytes;
}

std::string body_for(const std::string& content) {
  return R"({"blobs":[{"sha256":")" + platform::sha256_hex(content) + R"(","b64":")" +
         base64_encode(content) + R"("}]})";
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t peak_resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::stoul(line.substr(6));
  return 0;
}

}  // namespace

int main() {
  constexpr std::size_t SIZE = std::size_t{64} << 20;
  constexpr int ROUNDS = 5;
  test::TempDir scratch;

  // The machine's limit: the same decoding, hashing and writing, in this process.
  double limit = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const std::string content = random_bytes(SIZE, 100 + round);
    const std::string text = base64_encode(content);
    const auto start = Clock::now();
    const auto decoded = base64_decode(text);
    const std::string digest = platform::sha256_hex(*decoded);
    platform::write_file_durable(scratch.path() / digest, *decoded);
    limit = std::min(limit, seconds_since(start));
  }

  test::Agent agent;
  if (!agent.start()) {
    std::fprintf(stderr, "the agent did not start: %s\n", agent.errors().c_str());
    return 1;
  }
  const std::string token = agent.pair();
  double best = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const std::string body = body_for(random_bytes(SIZE, 200 + round));
    const auto start = Clock::now();
    const auto reply = agent.post_auth("/v1/blobs", body, token);
    const double elapsed = seconds_since(start);
    if (reply.body != R"({"stored":1})") {
      std::fprintf(stderr, "unexpected reply: %s\n", reply.body.c_str());
      return 1;
    }
    best = std::min(best, elapsed);
  }
  const double mib = static_cast<double>(SIZE) / (1 << 20);
  std::printf("upload of a 64 MiB blob (best of %d)\n", ROUNDS);
  std::printf("  agent:          %7.1f MiB/s  (%.3f s)\n", mib / best, best);
  std::printf("  machine limit:  %7.1f MiB/s  (%.3f s: base64 decoding, SHA-256, durable write)\n",
              mib / limit, limit);
  std::printf("  ratio:          %7.2fx  (target: at most 1.40x)\n", best / limit);

  // Peak memory for one body just under the 256 MiB limit.
  const std::size_t before = peak_resident_kib(agent.pid());
  const std::size_t content_size = (std::size_t{256} << 20) / 4 * 3 - 4096;
  const std::string body = body_for(random_bytes(content_size, 7));
  const auto reply = agent.post_auth("/v1/blobs", body, token);
  const std::size_t after = peak_resident_kib(agent.pid());
  const double body_mib = static_cast<double>(body.size()) / (1 << 20);
  std::printf(
      "peak memory for one %.0f MiB body: %.0f MiB (%.2fx the body; target: at most 2.20x)%s\n",
      body_mib, static_cast<double>(after) / 1024,
      static_cast<double>(after) * 1024 / static_cast<double>(body.size()),
      reply.body == R"({"stored":1})" ? "" : "  [upload failed]");
  std::printf("  (peak before it: %.0f MiB)\n", static_cast<double>(before) / 1024);
  return 0;
}
