// Documents with EPS figures, a glossary and indexes, compiled through the agent (shell escape
// off) and by plain latexmk in a folder of their own (TeX Live's restricted shell escape, under
// which epstopdf and makeindex run from inside the document): the same pages and the same text.

#include <gtest/gtest.h>

#include "common/base64.h"
#include "harness.h"

namespace vellora::test {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// A figure that only shows its word once it is drawn: a placeholder box shows its file name.
std::string eps(const std::string& word) {
  return "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 200 40\n"
         "/Helvetica findfont 16 scalefont setfont\n10 14 moveto (" +
         word + ") show\nshowpage\n%%EOF\n";
}

const std::string FIGURES_DOCUMENT =
    "\\documentclass{article}\n\\usepackage{graphicx}\n"
    // A file name with "#" is read with "#" as an ordinary character.
    "{\\catcode`\\#=12 \\gdef\\hashfigure{mcr#b.eps}}\n"
    "\\begin{document}\nAt the root: \\includegraphics{fig.eps}\n\n"
    "In a folder, without extension: \\includegraphics[width=5cm]{figures/plot}\n\n"
    "With a hash: \\includegraphics{\\hashfigure}\n\\end{document}\n";

const Files FIGURE_FILES = {{"fig.eps", eps("ROOTFIGURE")},
                            {"figures/plot.eps", eps("FOLDERFIGURE")},
                            {"mcr#b.eps", eps("HASHFIGURE")}};

struct Case {
  const char* name;
  const char* engine;
  const char* latexmk_mode;
  std::string main_file;
  Files files;
  std::vector<std::string> present;  // words of the PDF's text
  std::vector<std::string> absent;   // placeholders
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Files with(Files files, const std::string& path, const std::string& content) {
  files.emplace_back(path, content);
  return files;
}

std::vector<Case> cases() {
  const std::vector<std::string> figure_words = {"ROOTFIGURE", "FOLDERFIGURE", "HASHFIGURE"};
  const std::vector<std::string> placeholders = {"fig.eps", "figures/plot", "mcr#b"};
  return {
      {"EpsInPdfLatex", "agent-pdflatex", "-pdf", "main.tex",
       with(FIGURE_FILES, "main.tex", FIGURES_DOCUMENT), figure_words, placeholders},
      {"EpsInLuaLatex", "agent-lualatex", "-lualatex", "main.tex",
       with(FIGURE_FILES, "main.tex", FIGURES_DOCUMENT), figure_words, placeholders},
      {"EpsInXeLatex", "agent-xelatex", "-xelatex", "main.tex",
       with(FIGURE_FILES, "main.tex", FIGURES_DOCUMENT), figure_words, placeholders},
      // A main file in a folder that loads epstopdf itself, with its figure beside it.
      {"EpsBesideAMainFileInAFolder",
       "agent-pdflatex",
       "-pdf",
       "paper/main.tex",
       {{"paper/main.tex",
         "\\documentclass{article}\n\\usepackage{graphicx}\n\\usepackage{epstopdf}\n"
         "\\begin{document}\nBeside: \\includegraphics{art/logo}\n\\end{document}\n"},
        {"paper/art/logo.eps", eps("LOGOFIGURE")}},
       {"LOGOFIGURE"},
       {"art/logo"}},
      {"GlossariesExtraAutomake",
       "agent-pdflatex",
       "-pdf",
       "gloss.tex",
       {{"gloss.tex",
         "\\documentclass{article}\n\\usepackage[automake,abbreviations]{glossaries-extra}\n"
         "\\makeglossaries\n"
         "\\newglossaryentry{duck}{name={duck},description={a waterbird with webbed feet}}\n"
         "\\newabbreviation{html}{HTML}{hypertext markup language}\n"
         "\\begin{document}\nA \\gls{duck} and \\gls{html}.\n\\printglossaries\n"
         "\\end{document}\n"}},
       {"a waterbird with webbed feet", "Abbreviations"},
       {"This document is incomplete"}},
      {"ImakeidxWithAStyleAndASecondIndex",
       "agent-pdflatex",
       "-pdf",
       "idx.tex",
       {{"idx.tex",
         "\\documentclass{article}\n\\usepackage{imakeidx}\n"
         "\\makeindex[intoc,options=-s idxstyle.ist]\n"
         "\\makeindex[name=persons,title=Index of persons]\n\\begin{document}\n"
         "Ducks\\index{duck} and geese\\index{goose} with Knuth\\index[persons]{Knuth}.\n"
         "\\printindex\n\\printindex[persons]\n\\end{document}\n"},
        {"idxstyle.ist",
         "headings_flag 1\nheading_prefix \"\\\\textbf{Letter \"\n"
         "heading_suffix \"}\\\\nopagebreak\\n\"\ndelim_0 \" --- page \"\n"}},
       {"Letter D", "Letter G", "Index of persons", "Knuth, 1"},
       {}},
  };
}

// The PDF's text with its blanks made single spaces.
std::string pdf_text(const fs::path& pdf) {
  platform::Command command;
  command.program = "pdftotext";
  command.args = {pdf.string(), "-"};
  command.capture_output = true;
  const auto result = platform::run(command);
  if (!result || !result->success()) return "(pdftotext failed)";
  std::string text;
  for (char c : result->out) {
    const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
    if (!blank)
      text += c;
    else if (!text.empty() && text.back() != ' ')
      text += ' ';
  }
  return text;
}

int pdf_pages(const fs::path& pdf) {
  platform::Command command;
  command.program = "pdfinfo";
  command.args = {pdf.string()};
  command.capture_output = true;
  const auto result = platform::run(command);
  if (!result || !result->success()) return -1;
  const auto at = result->out.find("Pages:");
  return at == std::string::npos ? -1 : std::stoi(result->out.substr(at + 6));
}

// Plain latexmk in a folder holding the project, started from the main file's folder.
fs::path latexmk_alone(const Case& c, const fs::path& root) {
  for (const auto& [path, content] : c.files) {
    fs::create_directories((root / path).parent_path());
    write_file(root / path, content);
  }
  const fs::path main = root / c.main_file;
  platform::Command command;
  command.program = "latexmk";
  command.args = {"-norc", c.latexmk_mode, "-interaction=nonstopmode", main.filename().string()};
  command.cwd = main.parent_path();
  command.env = {{"TEXMFVAR", shared_texmf_var().string()}};
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(300);
  const auto result = platform::run(command, options);
  EXPECT_TRUE(result && result->success()) << (result ? result->out : result.error());
  return main.parent_path() / (main.stem().string() + ".pdf");
}

class FiguresIndexTest : public ::testing::TestWithParam<Case> {};

TEST_P(FiguresIndexTest, SamePagesAndTextAsLatexmkAlone) {
  const Case& c = GetParam();
  TempDir alone;
  const fs::path expected_pdf = latexmk_alone(c, alone.path());
  const std::string expected_text = pdf_text(expected_pdf);

  Agent agent;
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  json::object body;
  body["project"] = "p";
  body["mainFile"] = c.main_file;
  body["files"] = agent.upload(token, c.files);
  body["engine"] = c.engine;
  body["installMissing"] = false;
  const auto response = agent.post_auth("/v1/compile", json::serialize(body), token);
  ASSERT_EQ(response.status, 200u) << response.body.substr(0, 300);
  const auto reply = response.json();
  const std::string log(reply.at("log").as_string());
  ASSERT_EQ(reply.at("success"), true) << log;
  EXPECT_EQ(log.find("was not converted"), std::string::npos) << log;
  TempDir received;
  const fs::path pdf = received.path() / "out.pdf";
  write_file(pdf, *base64_decode(reply.at("pdf_base64").as_string()));
  const std::string text = pdf_text(pdf);

  EXPECT_EQ(pdf_pages(pdf), pdf_pages(expected_pdf));
  EXPECT_EQ(text, expected_text);
  for (const auto& word : c.present)
    EXPECT_NE(text.find(word), std::string::npos) << word << "\n" << log.substr(0, 3000);
  for (const auto& word : c.absent) EXPECT_EQ(text.find(word), std::string::npos) << word;
}

INSTANTIATE_TEST_SUITE_P(RealDocuments, FiguresIndexTest, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vellora::test

namespace vellora::test {
namespace {

class FiguresAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  json::value compile(const Files& files, const std::string& main = "main.tex") {
    json::object body;
    body["project"] = "p";
    body["mainFile"] = main;
    body["files"] = agent_.upload(token_, files);
    body["engine"] = "agent-pdflatex";
    body["installMissing"] = false;
    const auto response = agent_.post_auth("/v1/compile", json::serialize(body), token_);
    EXPECT_EQ(response.status, 200u) << response.body.substr(0, 300);
    return response.json();
  }
  fs::path work() const { return agent_.cache_dir() / "work/p"; }

  Agent agent_;
  std::string token_;
};

const std::string ONE_FIGURE =
    "\\documentclass{article}\n\\usepackage{graphicx}\n\\begin{document}\n"
    "\\includegraphics{fig.eps}\n\\end{document}\n";

// Ghostscript runs once per content: a second compile with the same figure reuses its PDF, a
// changed figure is converted again.
TEST_F(FiguresAgentTest, EachFigureContentIsConvertedOnce) {
  write_script(agent_.bin() / "gs", "echo \"$*\" >> gs-calls.txt\nexec /usr/bin/gs \"$@\"\n");
  const auto calls = [&] {
    const fs::path file = work() / "gs-calls.txt";
    const std::string text = fs::exists(file) ? read_text(file) : "";
    return std::count(text.begin(), text.end(), '\n');
  };
  auto reply = compile({{"main.tex", ONE_FIGURE}, {"fig.eps", eps("FIRST")}});
  ASSERT_EQ(reply.at("success"), true) << reply.at("log").as_string();
  EXPECT_EQ(calls(), 1);
  const std::string text = read_text(work() / "gs-calls.txt");
  EXPECT_NE(text.find("-dSAFER"), std::string::npos) << text;
  reply = compile({{"main.tex", ONE_FIGURE + "% edited\n"}, {"fig.eps", eps("FIRST")}});
  ASSERT_EQ(reply.at("success"), true);
  EXPECT_EQ(calls(), 1);
  reply = compile({{"main.tex", ONE_FIGURE}, {"fig.eps", eps("SECOND")}});
  ASSERT_EQ(reply.at("success"), true);
  EXPECT_EQ(calls(), 2);
  // The PDFs are kept with the project, one per content it holds.
  std::size_t kept = 0;
  for (const auto& entry : fs::directory_iterator(work() / "_out/.vellora-eps")) {
    EXPECT_EQ(entry.path().filename(), sha256_of(eps("SECOND")) + ".pdf");
    ++kept;
  }
  EXPECT_EQ(kept, 1u);
}

// A figure Ghostscript cannot convert stays as the engine shows it, with one line that names it;
// the other figures are drawn.
TEST_F(FiguresAgentTest, FailedConversionIsOneLineAndTheEnginesOwnBehaviour) {
  const std::string broken =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\nthis is not postscript at all\n";
  auto reply = compile({{"main.tex", ONE_FIGURE}, {"fig.eps", broken}});
  std::string log(reply.at("log").as_string());
  EXPECT_EQ(reply.at("success"), true) << log;
  EXPECT_TRUE(
      log.starts_with("The EPS figure fig.eps was not converted to PDF: Ghostscript failed"))
      << log.substr(0, 300);
  EXPECT_FALSE(fs::exists(work() / "_out/graphics.cfg"));

  reply = compile({{"main.tex",
                    "\\documentclass{article}\n\\usepackage{graphicx}\n\\begin{document}\n"
                    "\\includegraphics{fig.eps} \\includegraphics{good}\n\\end{document}\n"},
                   {"fig.eps", broken},
                   {"good.eps", eps("GOODFIGURE")}});
  log = reply.at("log").as_string();
  ASSERT_EQ(reply.at("success"), true) << log;
  EXPECT_TRUE(log.starts_with("The EPS figure fig.eps was not converted to PDF"));
  EXPECT_EQ(log.find("good.eps was not converted"), std::string::npos);
  TempDir received;
  write_file(received.path() / "out.pdf", *base64_decode(reply.at("pdf_base64").as_string()));
  const std::string text = pdf_text(received.path() / "out.pdf");
  EXPECT_NE(text.find("GOODFIGURE"), std::string::npos) << text;
  EXPECT_NE(text.find("fig.eps"), std::string::npos) << text;  // pdfTeX's box with its name
}

// A hostile figure cannot make Ghostscript write or read outside the project.
TEST_F(FiguresAgentTest, FigureThatWritesAFileIsRefused) {
  const fs::path target = agent_.home() / "pwned.txt";
  const std::string hostile =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n"
      "/f (" +
      target.string() +
      ") (w) file def\nf (owned) writestring\n"
      "f closefile\nshowpage\n";
  const auto reply = compile({{"main.tex", ONE_FIGURE}, {"fig.eps", hostile}});
  const std::string log(reply.at("log").as_string());
  EXPECT_NE(log.find("The EPS figure fig.eps was not converted to PDF"), std::string::npos)
      << log.substr(0, 300);
  EXPECT_FALSE(fs::exists(target));
}

// A document's request for makeindex that reaches outside the output folder is not run.
TEST_F(FiguresAgentTest, MakeindexRequestOutsideTheOutputFolderIsNotRun) {
  const auto reply = compile(
      {{"main.tex",
        "\\documentclass{article}\n\\begin{document}\nx\n"
        "\\immediate\\write18{makeindex -o ../../escaped.ind main.idx}\n"
        "\\immediate\\write18{makeindex -o sub/../../escaped.ind main.idx}\n\\end{document}\n"}});
  EXPECT_EQ(reply.at("success"), true);
  for (const fs::path& p : {work() / "escaped.ind", work().parent_path() / "escaped.ind"})
    EXPECT_FALSE(fs::exists(p)) << p;
}

}  // namespace
}  // namespace vellora::test
