// The routes under the largest requests they take: peak memory of the largest /v1/prepare, the
// time of the largest log the diagnostics read, and the peak memory of a SyncTeX query on a file
// that unpacks to the most the agent reads.

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "compile/diagnostics.h"
#include "compile/output_files.h"
#include "harness.h"
#include "http/body.h"

using namespace vellora;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t status_kib(pid_t pid, std::string_view key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with(key)) return std::stoul(line.substr(key.size()));
  return 0;
}

double mib(double bytes) {
  return bytes / (1 << 20);
}

// A list of 100,000 files whose paths are `path_bytes` long, in folders of names up to 100 bytes.
std::string file_list(std::size_t path_bytes) {
  std::string body = "{\"files\":[";
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "section-" + std::to_string(i) + ".tex";
    std::string path;
    for (;;) {
      const std::size_t room = path_bytes - name.size() - path.size();
      if (room < 2) break;
      path += std::string(std::min<std::size_t>(99, room - 1), 'd') + "/";
    }
    path += name;
    body += std::string(i ? "," : "") + R"({"path":")" + path + R"(","sha256":")" +
            test::sha256_of(std::to_string(i)) + "\"}";
  }
  return body + "]}";
}

void prepare_memory() {
  struct Case {
    const char* what;
    std::string body;
  } cases[] = {
      {"100,000 files, paths of 400 bytes", file_list(400)},
      {"100,000 files, paths of 40 bytes", file_list(40)},
      {"64 MiB of [0,0,...] (refused)",
       [] {
         std::string body = "{\"files\":[0";
         while (body.size() < MAX_FILE_LIST_BODY_BYTES - 4) body += ",0";
         return body + "]}";
       }()},
  };
  for (const auto& c : cases) {
    test::Agent agent;
    if (!agent.start()) return;
    const std::string token = agent.pair();
    const double before = static_cast<double>(status_kib(agent.pid(), "VmHWM:")) * 1024;
    const auto start = Clock::now();
    const auto reply = agent.post_auth("/v1/prepare", c.body, token);
    const double elapsed = seconds_since(start);
    const double peak = static_cast<double>(status_kib(agent.pid(), "VmHWM:")) * 1024;
    const double size = static_cast<double>(c.body.size());
    std::printf(
        "/v1/prepare, %s: %.1f MiB body, status %u in %.2f s, peak %.1f MiB (%.1f MiB before): "
        "%.2fx the body (aim: at most 4x)\n",
        c.what, mib(size), reply.status, elapsed, mib(peak), mib(before), peak / size);
  }
}

void diagnostics_time() {
  const ProjectPaths paths("/work", "", {"main.tex"});
  // The most the agent reads of a log: its head and its tail.
  const std::size_t size = LOG_HEAD_BYTES + LOG_TAIL_BYTES;
  struct Case {
    const char* what;
    std::string log;
  } cases[] = {
      {"half open parentheses, half error lines",
       [&] {
         std::string log = "(./main.tex " + std::string(size / 2, '(') + "\n";
         while (log.size() < size) log += "! Undefined control sequence.\n";
         return log;
       }()},
      {"distinct errors and warnings",
       [&] {
         std::string log = "(./main.tex\n";
         for (int i = 0; log.size() < size; ++i)
           log += "! Error " + std::to_string(i) + ".\nLaTeX Warning: w" + std::to_string(i) +
                  " on input line " + std::to_string(i) + ".\n(a.sty) ";
         return log;
       }()},
  };
  for (const auto& c : cases) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
      const auto start = Clock::now();
      const auto found = tex_log_diagnostics(c.log, paths);
      best = std::min(best, seconds_since(start));
      if (found.empty()) std::printf("  (nothing found)\n");
    }
    std::printf("diagnostics of the largest log (%.0f MiB), %s: %.3f s (aim: at most 2 s)\n",
                mib(static_cast<double>(c.log.size())), c.what, best);
  }
}

// A SyncTeX file that unpacks to about `size` bytes: one page of boxes, each holding a glyph.
std::string packed_synctex(std::size_t size) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::string out;
  std::string chunk;
  const auto put = [&](const std::string& text, int flush) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    char buffer[1 << 16];
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      deflate(&stream, flush);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (stream.avail_out == 0);
  };
  put("SyncTeX Version:1\nInput:1:/work/main.tex\nOutput:pdf\nMagnification:1000\nUnit:1\n"
      "X Offset:0\nY Offset:0\nContent:\n{1\n",
      Z_NO_FLUSH);
  std::string record = "(1,6:8799518,6571294:22609920,455111,127431\nx1,6:11162458,6571294\n)\n";
  for (int i = 0; i < 10000; ++i) chunk += record;
  for (std::size_t written = 0; written < size; written += chunk.size()) put(chunk, Z_NO_FLUSH);
  put("}1\n", Z_FINISH);
  deflateEnd(&stream);
  return out;
}

void synctex_memory() {
  const std::size_t size = std::size_t{500} << 20;  // the agent reads at most 512 MiB of text
  const std::string packed = packed_synctex(size);
  test::Agent agent;
  if (!agent.start()) return;
  const std::string token = agent.pair();
  const auto out = agent.cache_dir() / "work" / "bench" / "_out";
  std::filesystem::create_directories(out);
  test::write_file(out / "main.synctex.gz", packed);
  const double before = static_cast<double>(status_kib(agent.pid(), "VmHWM:")) * 1024;
  for (const char* query : {R"({"project":"bench","reverse":{"page":1,"x":150,"y":100}})",
                            R"({"project":"bench","forward":{"file":"main.tex","line":3}})"}) {
    const auto start = Clock::now();
    const auto reply = agent.post_auth("/v1/synctex", query, token);
    const double elapsed = seconds_since(start);
    const double peak = static_cast<double>(status_kib(agent.pid(), "VmHWM:")) * 1024;
    std::printf(
        "SyncTeX query on a %.1f MiB file of %.0f MiB text (%s): status %u in %.2f s, peak %.1f "
        "MiB, %.1f MiB over the idle agent's %.1f MiB (aim: at most 16 MiB over)\n",
        mib(static_cast<double>(packed.size())), mib(static_cast<double>(size)),
        query[25] == 'r' ? "reverse" : "forward", reply.status, elapsed, mib(peak),
        mib(peak - before), mib(before));
  }
}

}  // namespace

int main() {
  prepare_memory();
  diagnostics_time();
  synctex_memory();
  return 0;
}
