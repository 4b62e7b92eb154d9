// The preamble kept as a format. What a user waits for after an edit: a recompile after a one-line
// edit in the body, through the agent (its format made) against latexmk alone doing the same
// recompile, for heavy preambles (pgfplots and TikZ, beamer) and a light one (a plain article with
// three packages). And the first compile of a new project, before any format exists (the dump
// that follows it runs in the background and is let finish between rounds).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "harness.h"
#include "platform/process.h"

using namespace vellora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int ROUNDS = 5;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Document {
  const char* name;
  std::string preamble;
  std::string body;  // holds "EDIT", replaced by each round's words
};

std::string text_of(const Document& d, int round) {
  std::string body = d.body;
  // Each round's line has its own length: latexmk alone takes a file of the same size and the same
  // second as unchanged, and would not compile at all on a fast machine.
  body.replace(body.find("EDIT"), 4,
               "Edit number " + std::to_string(round) + std::string(round, '!') + ".");
  return d.preamble + "\\begin{document}\n" + body + "\\end{document}\n";
}

const Document PGFPLOTS = {
    "pgfplots + TikZ article",
    "\\documentclass{article}\n\\usepackage{tikz}\n\\usepackage{pgfplots}\n"
    "\\pgfplotsset{compat=1.18}\n\\usetikzlibrary{arrows.meta,positioning,calc}\n"
    "\\usepackage{amsmath}\n\\usepackage{hyperref}\n",
    "EDIT\n\n\\begin{tikzpicture}\\draw[-Stealth] (0,0) -- (2,1) node[right]{arrow};"
    "\\end{tikzpicture}\n\n"
    "A short text with $x^2$.\n"};

const Document BEAMER = {
    "beamer presentation",
    "\\documentclass{beamer}\n\\usetheme{Madrid}\n\\usepackage{tikz}\n"
    "\\title{Ducks}\\author{A. Author}\n",
    "\\begin{frame}\\titlepage\\end{frame}\n"
    "\\begin{frame}{Facts}\\begin{itemize}\\item EDIT\\item Waterproof\\end{itemize}"
    "\\end{frame}\n"};

const Document LIGHT = {"article with three packages",
                        "\\documentclass{article}\n\\usepackage{amsmath}\n\\usepackage{graphicx}\n"
                        "\\usepackage{xcolor}\n",
                        "EDIT\n\nSome text with $\\sum_i x_i$ and \\textcolor{red}{colour}.\n"};

struct Compiler {
  test::Agent& agent;
  std::string token;
  bool compile(const std::string& project, const std::string& text) {
    return test::compile_main_tex(agent, token, project, agent.upload(token, {{"main.tex", text}}));
  }
};

// latexmk as the agent runs it, in a folder of its own.
bool latexmk(const std::filesystem::path& work, const std::string& text) {
  test::write_file(work / "main.tex", text);
  const platform::Command command = test::latexmk_alone(work);
  const auto result = platform::run(command);
  if (!result || !result->success()) std::fprintf(stderr, "latexmk failed\n");
  return result && result->success();
}

// Whether a project's dump has ended: its record is written last.
bool dump_ended(const test::Agent& agent, const std::string& project) {
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(agent.cache_dir() / "formats" / project, ec))
    if (entry.path().extension() == ".json") return true;
  return false;
}

void print_ratio(const char* what, double agent, double alone, const char* aim) {
  std::printf("%s (best of %d)\n", what, ROUNDS);
  std::printf("  /v1/compile:     %.3f s\n", agent);
  std::printf("  latexmk alone:   %.3f s\n", alone);
  std::printf("  ratio:           %.2fx  (aim: %s)\n", agent / alone, aim);
}

}  // namespace

int main() {
  test::Agent waiting;  // waits for its dumps, which are not what is timed here
  waiting.set_env("VELLORA_PREAMBLE_CACHE", "wait");
  test::Agent agent;  // as users run it
  agent.unset_env("VELLORA_PREAMBLE_CACHE");
  if (!waiting.start() || !agent.start()) {
    std::fprintf(stderr, "the agent did not start\n");
    return 1;
  }
  Compiler recompiles{waiting, waiting.pair()};
  Compiler first{agent, agent.pair()};
  test::TempDir dir;

  int folder = 0;
  for (const auto& [doc, aim] : {std::pair{&PGFPLOTS, "<= 0.50x"}, std::pair{&BEAMER, "<= 0.50x"},
                                 std::pair{&LIGHT, "<= 1.05x"}}) {
    const std::string project = "edit-" + std::to_string(folder);
    const auto work = dir.path() / std::to_string(folder++);
    if (!recompiles.compile(project, text_of(*doc, 0)) || !latexmk(work, text_of(*doc, 0)))
      return 1;
    double agent_best = 1e9, alone_best = 1e9;
    for (int round = 1; round <= ROUNDS; ++round) {
      auto start = Clock::now();
      if (!recompiles.compile(project, text_of(*doc, round))) return 1;
      agent_best = std::min(agent_best, seconds_since(start));
      start = Clock::now();
      if (!latexmk(work, text_of(*doc, round))) return 1;
      alone_best = std::min(alone_best, seconds_since(start));
    }
    const std::string what = std::string("recompile after a one-line edit, ") + doc->name;
    print_ratio(what.c_str(), agent_best, alone_best, aim);
  }

  double agent_best = 1e9, alone_best = 1e9;
  for (int round = 0; round < ROUNDS; ++round) {
    const std::string project = "new-" + std::to_string(round);
    auto start = Clock::now();
    if (!first.compile(project, text_of(PGFPLOTS, round))) return 1;
    agent_best = std::min(agent_best, seconds_since(start));
    // The dump it started is let finish before anything else is timed.
    for (int i = 0; i < 2400 && !dump_ended(agent, project); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    start = Clock::now();
    if (!latexmk(dir.path() / ("new-" + std::to_string(round)), text_of(PGFPLOTS, round))) return 1;
    alone_best = std::min(alone_best, seconds_since(start));
  }
  print_ratio("first compile of a new project, pgfplots + TikZ article", agent_best, alone_best,
              "<= 1.05x");
  return 0;
}
