#include "compile/diagnostics.h"

#include <gtest/gtest.h>

#include "engine_logs.h"

namespace vellora {

void PrintTo(const Diagnostic& d, std::ostream* out) {
  *out << "{" << d.file.value_or("null") << ", " << (d.line ? std::to_string(*d.line) : "null")
       << ", " << d.level << ", " << d.message << "}";
}

namespace {

using D = Diagnostic;

const ProjectPaths PROJECT("/home/u/.cache/vellora-agent/work/p", "",
                           {"main.tex", "chap/intro.tex", "refs.bib", "thesis/main.tex",
                            "thesis/chapters/one.tex"});

TEST(Diagnostics, RealLogsOfTheFourEngines) {
  const D reference{"main.tex", 3, "warning",
                    "LaTeX Warning: Reference `nowhere' on page 1 undefined on input line 3."};
  const D citation{"main.tex", 3, "warning",
                   "LaTeX Warning: Citation `nobody' on page 1 undefined on input line 3."};
  const D error{"chap/intro.tex", 2, "error", "Undefined control sequence."};
  const auto badbox = [](const char* width) {
    return D{"main.tex", 5, "badbox",
             std::string("Overfull \\hbox (") + width + " too wide) detected at line 5"};
  };
  EXPECT_EQ(tex_log_diagnostics(test::PDFLATEX_LOG, PROJECT),
            (std::vector<D>{reference, citation, badbox("134.11134pt"), error}));
  EXPECT_EQ(tex_log_diagnostics(test::XELATEX_LOG, PROJECT),
            (std::vector<D>{reference, citation, badbox("134.12pt"), error}));
  EXPECT_EQ(tex_log_diagnostics(test::LUALATEX_LOG, PROJECT),
            (std::vector<D>{reference, citation, badbox("134.12pt"), error}));
  // ConTeXt names the files it opens; this run's work directory was /tmp/ctx.
  const ProjectPaths context_project("/tmp/ctx", "", {"main.tex", "chap/intro.tex"});
  EXPECT_EQ(tex_log_diagnostics(test::CONTEXT_LOG, context_project),
            (std::vector<D>{{"main.tex", 3, "badbox",
                             "Overfull \\hbox (159.16302pt too wide) detected at line 3"},
                            {"chap/intro.tex", 2, "error", "Undefined control sequence"}}));
}

TEST(Diagnostics, LogExcerpts) {
  const std::pair<std::string, std::vector<D>> cases[] = {
      // TeX's own error form, placed by the file nesting and the "l.N" context line.
      {"(./main.tex (./chap/intro.tex\n! Missing $ inserted.\n<inserted text>\n$\nl.7 a_b\n        "
       "(x\n)) ",
       {{"chap/intro.tex", 7, "error", "Missing $ inserted."}}},
      // A main file in a folder finds its parts through the search path: absolute paths.
      {"(/home/u/.cache/vellora-agent/work/p/thesis/chapters/one.tex\nPackage natbib Warning: "
       "Citation `x' on page 1 undefined on input line 4.\n)",
       {{"thesis/chapters/one.tex", 4, "warning",
         "Package natbib Warning: Citation `x' on page 1 undefined on input line 4."}}},
      // Continuation lines of a package's warning.
      {"(./main.tex\nPackage hyperref Warning: Token not allowed in a PDF string (Unicode):\n"
       "(hyperref)                removing `\\textbf' on input line 12.\n\n)",
       {{"main.tex", 12, "warning",
         "Package hyperref Warning: Token not allowed in a PDF string (Unicode): removing "
         "`\\textbf' on input line 12."}}},
      // Files outside the project are named in the message, never as the file.
      {"./_out/main.aux:2: Undefined control sequence.\nl.2 \\oldmacro",
       {{std::nullopt, std::nullopt, "error", "./_out/main.aux:2: Undefined control sequence."}}},
      {"(/usr/share/texlive/texmf-dist/tex/latex/base/article.cls\nLaTeX Warning: Unused "
       "global option(s):\n    [a4].\n)",
       {{std::nullopt, std::nullopt, "warning",
         "/usr/share/texlive/texmf-dist/tex/latex/base/article.cls: LaTeX Warning: Unused global "
         "option(s):"}}},
      {"(./main.tex\nUnderfull \\hbox (badness 10000) in paragraph at lines 9--11\n",
       {{"main.tex", 9, "badbox", "Underfull \\hbox (badness 10000) in paragraph at lines 9--11"}}},
      {"(./main.tex\nUnderfull \\vbox (badness 10000) has occurred while \\output is active []\n",
       {{"main.tex", std::nullopt, "badbox",
         "Underfull \\vbox (badness 10000) has occurred while \\output is active []"}}},
      // The summary of a fatal error and repeated messages add nothing.
      {"./main.tex:3: Undefined control sequence.\n./main.tex:3: Undefined control sequence.\n"
       "./main.tex:3:  ==> Fatal error occurred, no output PDF file produced!",
       {{"main.tex", 3, "error", "Undefined control sequence."}}},
      // Parentheses in text and in quoted source keep the nesting.
      {"(./main.tex (see the transcript file)\nl.3 text (with an open\n     parenthesis\n"
       "LaTeX Warning: Label `a' multiply defined.\n)",
       {{"main.tex", std::nullopt, "warning", "LaTeX Warning: Label `a' multiply defined."}}},
  };
  for (const auto& [log, expected] : cases)
    EXPECT_EQ(tex_log_diagnostics(log, PROJECT), expected) << log;
}

TEST(Diagnostics, HostileLogsTakeBoundedWorkPerLine) {
  // Each error line once looked through every parenthesis still open: this log took minutes.
  std::string log = "(./main.tex " + std::string(300000, '(') + "\n";
  for (int i = 0; i < 300000; ++i) log += "! Undefined control sequence.\n";
  const auto found = tex_log_diagnostics(log, PROJECT);
  EXPECT_EQ(found,
            (std::vector<D>{{"main.tex", std::nullopt, "error", "Undefined control sequence."}}));
  // A thousand distinct messages at most, each compared by its hash, not with every other.
  std::string many = "(./main.tex\n";
  for (int i = 0; i < 200000; ++i) many += "! Error number " + std::to_string(i) + ".\n";
  EXPECT_EQ(tex_log_diagnostics(many, PROJECT).size(), 1000u);
}

TEST(Diagnostics, ACancelledCompileStopsTheScan) {
  std::string log = "(./main.tex\n";
  for (int i = 0; i < 100000; ++i) log += "! Error number " + std::to_string(i) + ".\n";
  platform::Cancellation cancellation;
  EXPECT_EQ(tex_log_diagnostics(log, PROJECT, &cancellation).size(), 1000u);
  cancellation.cancel();
  EXPECT_TRUE(tex_log_diagnostics(log, PROJECT, &cancellation).empty());
}

TEST(Diagnostics, BibliographyTranscripts) {
  const char* bibtex =
      "Database file #1: refs.bib\n"
      "I was expecting a `,' or a `}'---line 5 of file refs.bib\n"
      " :       title = \n"
      "I'm skipping whatever remains of this entry\n"
      "Warning--I didn't find a database entry for \"nobody\"\n"
      "I couldn't open style file nostyle.bst\n";
  EXPECT_EQ(
      bibliography_diagnostics(bibtex, PROJECT),
      (std::vector<D>{
          {"refs.bib", 5, "error", "I was expecting a `,' or a `}'"},
          {std::nullopt, std::nullopt, "warning", "I didn't find a database entry for \"nobody\""},
          {std::nullopt, std::nullopt, "error", "I couldn't open style file nostyle.bst"}}));
  const char* biber =
      "[0] Config.pm:307> INFO - This is Biber 2.19\n"
      "[52] Biber.pm:4398> WARN - I didn't find a database entry for 'nobody' (section 0)\n"
      "[60] Utils.pm:411> ERROR - Cannot find 'refs.bib'!\n";
  EXPECT_EQ(bibliography_diagnostics(biber, PROJECT),
            (std::vector<D>{{std::nullopt, std::nullopt, "warning",
                             "I didn't find a database entry for 'nobody' (section 0)"},
                            {std::nullopt, std::nullopt, "error", "Cannot find 'refs.bib'!"}}));
}

TEST(Diagnostics, JsonHasTheFourKeys) {
  EXPECT_EQ(json::serialize(diagnostics_json(
                {{"main.tex", 3, "error", "x"}, {std::nullopt, std::nullopt, "warning", "y"}})),
            R"([{"file":"main.tex","line":3,"level":"error","message":"x"},)"
            R"({"file":null,"line":null,"level":"warning","message":"y"}])");
}

}  // namespace
}  // namespace vellora
