// The agent's overhead on a small document: /v1/compile against the same latexmk command run
// directly, each on a fresh directory, best of several rounds.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "harness.h"
#include "platform/process.h"

using namespace vellora;
using Clock = std::chrono::steady_clock;

int main() {
  constexpr int ROUNDS = 5;
  const std::string document =
      "\\documentclass{article}\n\\begin{document}\nA small document with some "
      "text.\n\\end{document}\n";
  test::Agent agent;
  if (!agent.start()) {
    std::fprintf(stderr, "the agent did not start: %s\n", agent.errors().c_str());
    return 1;
  }
  const std::string token = agent.pair();
  const auto files = agent.upload(token, {{"main.tex", document}});

  double agent_best = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    json::object body{{"project", "bench-" + std::to_string(round)},
                      {"mainFile", "main.tex"},
                      {"files", files},
                      {"engine", "agent-pdflatex"},
                      {"installMissing", false}};
    const auto start = Clock::now();
    const auto reply = agent.post_auth("/v1/compile", json::serialize(body), token);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (reply.json().at("success") != true) {
      std::fprintf(stderr, "compile failed: %s\n", reply.body.substr(0, 2000).c_str());
      return 1;
    }
    agent_best = std::min(agent_best, elapsed);
  }

  test::TempDir dir;
  double direct_best = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto work = dir.path() / std::to_string(round);
    test::write_file(work / "main.tex", document);
    std::filesystem::create_directories(work / "_out");
    platform::Command latexmk;
    latexmk.program = "latexmk";
    latexmk.args = {"-norc",
                    "-pdf",
                    "-interaction=nonstopmode",
                    "-halt-on-error",
                    "-synctex=1",
                    "-file-line-error",
                    "-pdflatex=pdflatex -no-shell-escape %O %S",
                    "-outdir=" + (work / "_out").string(),
                    "main.tex"};
    latexmk.cwd = work;
    latexmk.capture_output = true;
    latexmk.env = {{"TEXMFVAR", test::shared_texmf_var().string()}};
    const auto start = Clock::now();
    const auto result = platform::run(latexmk);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!result || !result->success()) {
      std::fprintf(stderr, "latexmk failed\n");
      return 1;
    }
    direct_best = std::min(direct_best, elapsed);
  }
  std::printf("small document with pdfLaTeX (best of %d)\n", ROUNDS);
  std::printf("  /v1/compile:     %.3f s\n", agent_best);
  std::printf("  latexmk alone:   %.3f s\n", direct_best);
  std::printf("  ratio:           %.2fx\n", agent_best / direct_best);
  return 0;
}
