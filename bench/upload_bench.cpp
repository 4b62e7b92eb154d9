// Upload throughput and memory of /v1/blobs against what the machine allows for the same bytes.
//
// The limit is the larger of two figures measured in the same run: the machine's own base64
// decoding (OpenSSL's EVP_DecodeBlock), SHA-256 (OpenSSL's) and durable write of the content,
// in one thread of this process; and the same body sent by curl over loopback to a plain sink that
// discards it. The agent's time is the same body sent by curl to /v1/blobs. Memory: the agent's
// peak resident size while it receives one 256 MiB body, and eight at once, against the bodies.
//
// curl streams the body from its file (`-T`), as a browser sends a body it holds. With
// `--data-binary @file` curl first reads the whole file into its memory and only then connects:
// that time (about 60 ms for 85 MiB here) is the client's, the same for any server, and the agent
// cannot overlap its work with it; those figures are printed too, for reference.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

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

// The fastest single-threaded decoding, hashing and durable writing at hand.
double machine_limit(const std::string& content, const test::TempDir& scratch) {
  const std::string text = base64_encode(content);
  std::string decoded(text.size() / 4 * 3, '\0');
  const auto start = Clock::now();
  EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                  reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.size()));
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(decoded.data()), content.size(), digest);
  platform::write_file_durable(scratch.path() / "limit",
                               std::string_view(decoded).substr(0, content.size()));
  const double elapsed = seconds_since(start);
  std::filesystem::remove(scratch.path() / "limit");
  return elapsed;
}

// A plain HTTP sink on loopback: reads each request's body, discards it and answers 200.
class Sink {
 public:
  Sink() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Sink() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void serve() {
    std::vector<char> buffer(256 * 1024);
    while (!stop_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::string header;
      std::size_t body_seen = 0;
      for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        header.append(buffer.data(), static_cast<std::size_t>(n));
        const auto end = header.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        body_seen = header.size() - end - 4;
        header.resize(end);
        break;
      }
      std::size_t length = 0;
      for (std::size_t at = 0; (at = header.find('\n', at)) != std::string::npos; ++at)
        if (strncasecmp(header.c_str() + at + 1, "content-length:", 15) == 0)
          length = std::stoull(header.substr(at + 16));
      while (body_seen < length) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        body_seen += static_cast<std::size_t>(n);
      }
      const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)!::write(fd, reply, sizeof reply - 1);
      ::close(fd);
    }
  }

  int listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

enum class Send { streamed, preloaded };

platform::Command curl_post(const std::string& url, const std::filesystem::path& body,
                            const std::string& token, Send send) {
  platform::Command curl;
  curl.program = "curl";
  // No "Expect: 100-continue" round trip: browsers send the body at once.
  curl.args = {"-sS",     "-o",           "/dev/null",
               "-w",      "%{http_code}", "-H",
               "Expect:", "-H",           "Authorization: Bearer " + token,
               "-X",      "POST"};
  if (send == Send::streamed) {
    curl.args.insert(curl.args.end(), {"-T", body.string()});
  } else {
    curl.args.insert(curl.args.end(), {"--data-binary", "@" + body.string()});
  }
  curl.args.push_back(url);
  curl.capture_output = true;
  return curl;
}

double timed_post(const platform::Command& curl) {
  const auto start = Clock::now();
  const auto result = platform::run(curl);
  const double elapsed = seconds_since(start);
  if (!result || result->out != "200") {
    std::fprintf(stderr, "upload failed: %s\n",
                 result ? result->err.c_str() : result.error().c_str());
    std::exit(1);
  }
  return elapsed;
}

}  // namespace

int main() {
  constexpr std::size_t SIZE = std::size_t{64} << 20;
  constexpr int ROUNDS = 5;
  test::TempDir scratch;

  test::Agent agent;
  if (!agent.start()) {
    std::fprintf(stderr, "the agent did not start: %s\n", agent.errors().c_str());
    return 1;
  }
  const std::string token = agent.pair();
  Sink sink;
  const std::string agent_url = "http://" + agent.host() + "/v1/blobs";
  const std::string sink_url = "http://127.0.0.1:" + std::to_string(sink.port()) + "/";

  double best_limit = 1e9;
  double best_agent[2] = {1e9, 1e9}, best_sink[2] = {1e9, 1e9};
  for (int round = 0; round < ROUNDS; ++round) {
    const std::string content = random_bytes(SIZE, 200 + round);
    const auto body = scratch.path() / "body.json";
    test::write_file(body, body_for(content));
    best_limit = std::min(best_limit, machine_limit(content, scratch));
    for (const Send send : {Send::streamed, Send::preloaded}) {
      const auto i = static_cast<std::size_t>(send);
      best_sink[i] = std::min(best_sink[i], timed_post(curl_post(sink_url, body, token, send)));
      best_agent[i] = std::min(best_agent[i], timed_post(curl_post(agent_url, body, token, send)));
    }
  }
  const double mib = static_cast<double>(SIZE) / (1 << 20);
  std::printf("upload of a 64 MiB blob by curl (best of %d)\n", ROUNDS);
  std::printf("  decode+hash+write:       %7.1f MiB/s  (%.3f s: OpenSSL, one thread, fsync)\n",
              mib / best_limit, best_limit);
  for (const Send send : {Send::streamed, Send::preloaded}) {
    const auto i = static_cast<std::size_t>(send);
    const bool streamed = send == Send::streamed;
    std::printf("  %s\n", streamed ? "curl -T (streams the body from its file):"
                                   : "curl --data-binary (reads the whole body before sending):");
    std::printf("    agent:                 %7.1f MiB/s  (%.3f s)\n", mib / best_agent[i],
                best_agent[i]);
    std::printf("    loopback to a sink:    %7.1f MiB/s  (%.3f s)\n", mib / best_sink[i],
                best_sink[i]);
    std::printf("    ratio:                 %7.2fx%s\n",
                best_agent[i] / std::max(best_limit, best_sink[i]),
                streamed ? "  (aim: at most 1.10x)" : "  (for reference)");
  }

  // Peak memory while receiving bodies just under the 256 MiB limit, one and then eight at once,
  // each on a fresh agent so the peaks do not mix.
  const std::size_t content_size = (std::size_t{256} << 20) / 4 * 3 - 4096;
  const auto big = scratch.path() / "big.json";
  test::write_file(big, body_for(random_bytes(content_size, 7)));
  const double body_bytes = static_cast<double>(std::filesystem::file_size(big));
  for (const int parallel : {1, 8}) {
    test::Agent fresh;
    if (!fresh.start()) return 1;
    const std::string fresh_token = fresh.pair();
    std::vector<std::thread> senders;
    for (int i = 0; i < parallel; ++i)
      senders.emplace_back([&] {
        timed_post(
            curl_post("http://" + fresh.host() + "/v1/blobs", big, fresh_token, Send::streamed));
      });
    for (auto& sender : senders) sender.join();
    const double peak = static_cast<double>(peak_resident_kib(fresh.pid())) * 1024;
    std::printf(
        "peak memory, %d body(ies) of %.0f MiB at once: %.1f MiB (%.3fx per body; aim: at most "
        "0.10x)\n",
        parallel, body_bytes / (1 << 20), peak / (1 << 20), peak / body_bytes / parallel);
  }
  return 0;
}
