// Where a main file's preamble ends and when it cannot be kept as a format; what a recorder file
// says was read; the record kept beside a format.

#include "compile/preamble_format.h"

#include <gtest/gtest.h>

namespace vellora {
namespace {

struct PreambleCase {
  const char* name;
  const char* source;
  int begin_line;        // 0: cannot be kept
  const char* preamble;  // when it can
  const char* reason;    // a part of the reason when it cannot
};

TEST(PreambleFormat, WhereThePreambleEnds) {
  const PreambleCase cases[] = {
      {"plain", "\\documentclass{article}\n\\usepackage{tikz}\n\\begin{document}\nx\n", 3,
       "\\documentclass{article}\n\\usepackage{tikz}\n", ""},
      {"indented, with spaces before the brace",
       "\\documentclass{article}\n  \\begin {document}x\n", 2, "\\documentclass{article}\n", ""},
      {"a commented beginning is not one",
       "\\documentclass{article}\n% \\begin{document}\n\\usepackage{x}\n\\begin{document}\n", 4,
       "\\documentclass{article}\n% \\begin{document}\n\\usepackage{x}\n", ""},
      {"an escaped percent sign is text",
       "\\documentclass{article}\n\\def\\p{\\%}\\begin{document}\n", 0, "", "shares its line"},
      {"an escaped backslash ends in a comment",
       "\\documentclass{article}\n\\\\% \\begin{document}\n\\begin{document}\n", 3,
       "\\documentclass{article}\n\\\\% \\begin{document}\n", ""},
      {"CRLF lines", "\\documentclass{article}\r\n\\begin{document}\r\n", 2,
       "\\documentclass{article}\r\n", ""},
      {"code before the beginning on its line",
       "\\documentclass{article}\n\\usepackage{x}\\begin{document}\n", 0, "", "shares its line"},
      {"a macro that begins the document",
       "\\documentclass{article}\n\\newcommand\\go{\\begin{document}}\n\\go\n", 0, "",
       "shares its line"},
      {"its own end marker", "\\documentclass{article}\n\\endofdump\n\\begin{document}\n", 0, "",
       "\\endofdump"},
      {"a file written while it runs",
       "\\documentclass{article}\n\\begin{filecontents*}{a.tex}\nA\n\\end{filecontents*}\n"
       "\\begin{document}\n",
       0, "", "filecontents"},
      {"a format named on the first line",
       "%&pdflatex\n\\documentclass{article}\n\\begin{document}\n", 0, "", "names a format"},
      {"no beginning", "\\documentclass{article}\n\\input{body}\n", 0, "", "no line"},
  };
  for (const auto& c : cases) {
    const auto preamble = main_preamble(c.source);
    if (c.begin_line == 0) {
      ASSERT_FALSE(preamble) << c.name;
      EXPECT_NE(preamble.error().find(c.reason), std::string::npos)
          << c.name << ": " << preamble.error();
      continue;
    }
    ASSERT_TRUE(preamble) << c.name << ": " << preamble.error();
    EXPECT_EQ(preamble->begin_line, c.begin_line) << c.name;
    EXPECT_EQ(preamble->text, c.preamble) << c.name;
  }
}

TEST(PreambleFormat, FilesThePreambleReads) {
  EXPECT_EQ(preamble_file_problem("\\newcommand\\x{1}\n% \\begin{document}\n"), std::nullopt);
  EXPECT_NE(preamble_file_problem("\\usepackage{x}\n\\begin{document}\n"), std::nullopt);
  EXPECT_NE(preamble_file_problem("\\begin{filecontents}{a}\n"), std::nullopt);
  EXPECT_NE(preamble_file_problem("\\endofdump\n"), std::nullopt);
}

TEST(PreambleFormat, RecordedInputsAreTheRunsReadFilesOnce) {
  const auto inputs = recorded_inputs(
      "PWD /work/p\nINPUT /usr/share/texlive/tex/latex/base/article.cls\nINPUT ./main.tex\n"
      "OUTPUT /tmp/dump/main.log\nINPUT setup/../setup.tex\nINPUT ./main.tex\n"
      "INPUT /usr/share/texlive/tex/latex/base/article.cls\n");
  const std::vector<std::filesystem::path> expected = {
      "/usr/share/texlive/tex/latex/base/article.cls", "/work/p/main.tex", "/work/p/setup.tex"};
  EXPECT_EQ(inputs, expected);
  EXPECT_TRUE(recorded_inputs("").empty());
}

TEST(PreambleFormat, RecordsReadBackAsWrittenAndOthersAreRefused) {
  FormatRecord record;
  record.engine_id = "agent-pdflatex";
  record.main_file = "paper/main.tex";
  record.preamble_sha256 = std::string(64, 'a');
  record.begin_line = 12;
  record.project_paths_sha256 = std::string(64, 'b');
  record.format = "preamble-0123456789abcdef";
  record.files = {{"/usr/share/texlive/x.sty", std::string(64, 'c')},
                  {"/work/p/\xc3\xa9t\xc3\xa9.tex", std::string(64, 'd')}};
  for (const bool dumped : {true, false}) {
    if (!dumped) {
      record.format.reset();
      record.reason = "it writes a file";
    }
    const auto back = parse_format_record(format_record_json(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->engine_id, record.engine_id);
    EXPECT_EQ(back->main_file, record.main_file);
    EXPECT_EQ(back->preamble_sha256, record.preamble_sha256);
    EXPECT_EQ(back->begin_line, record.begin_line);
    EXPECT_EQ(back->project_paths_sha256, record.project_paths_sha256);
    EXPECT_EQ(back->format, record.format);
    EXPECT_EQ(back->reason, record.reason);
    EXPECT_EQ(back->files, record.files);
  }
  for (const char* bad : {"", "[]", "{}", "{\"engine\":1}", "not json"})
    EXPECT_FALSE(parse_format_record(bad)) << bad;
}

TEST(PreambleFormat, TheLineWhereARunFromAFormatBeganTheDocument) {
  EXPECT_EQ(format_start_line("(mylatexformat)Info: start reading document \"main\"\n"
                              "(mylatexformat)      on input line 17. (\\begin{document})\n"),
            17);
  EXPECT_EQ(format_start_line("on input line 3.\nno format here\n"), std::nullopt);
  EXPECT_EQ(format_start_line("(mylatexformat)Info: start reading document \"main\"\n"),
            std::nullopt);
}

}  // namespace
}  // namespace vellora
