#include <gtest/gtest.h>

#include "tlmgr/log_scan.h"
#include "tlmgr/source_scan.h"
#include "tlmgr/tlmgr.h"

namespace vellora {
namespace {

using Files = std::vector<std::string>;

TEST(MissingFilesInLog, RealEngineLines) {
  const std::pair<std::string, Files> cases[] = {
      // pdflatex, xelatex and lualatex on \usepackage{nonexistentpkg} and
      // \documentclass{nonexistentclass}
      {"! LaTeX Error: File `nonexistentpkg.sty' not found.", {"nonexistentpkg.sty"}},
      {"! LaTeX Error: File `nonexistentclass.cls' not found.", {"nonexistentclass.cls"}},
      // pdflatex on \font\x=nonexistfont10 at 10pt (log lines unwrapped)
      {"./font.tex:2: Font \\x=nonexistfont10 at 10.0pt not loadable: Metric (TFM) file not found.",
       {"nonexistfont10.tfm"}},
      // xelatex and lualatex say it otherwise; without "at" the name ends before "not loadable"
      {"./font.tex:2: Font \\x=nonexistfont10 at 10.0pt not loadable: Metric (TFM) file or "
       "installed font not found.",
       {"nonexistfont10.tfm"}},
      {"./font.tex:2: Font \\x=nonexistfont10 at 10pt not loadable: metric data not found or bad.",
       {"nonexistfont10.tfm"}},
      // babel on an unknown language
      {"/usr/share/texlive/texmf-dist/tex/generic/babel/babel.sty:4357: Package babel Error: "
       "Unknown option "
       "'klingonese'. Either you misspelled it",
       {"klingonese.ldf"}},
      {"! Package babel Error: Unknown option `ngerman'.", {"ngerman.ldf"}},
      {"! Package babel Error: Unknown option \u2018ngerman\u2019.", {"ngerman.ldf"}},
      {"! LaTeX Error: File `missingchapter.tex' not found.", {"missingchapter.tex"}},
      {"! LaTeX Error: File `bar' not found.", {"bar.sty"}},
      {"! LaTeX Error: File `paper.aux' not found.", {}},
      {"! LaTeX Error: File `paper.BBL' not found.", {}},
      {"! I can't find file `foo.tex'.", {"foo.tex"}},
      {"! I can't find file `foo'.", {}},
      {"Package tikz Warning: File `tikzlibraryx.code.tex' is missing", {"tikzlibraryx.code.tex"}},
      {"File `x.sty' without a package mention", {}},
      {"! LaTeX Error: File `has space.sty' not found.", {}},
      {"! LaTeX Error: File `" + std::string(80, 'a') + "' not found.", {}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(missing_files_in_log(line), expected) << line;
}

TEST(MissingFilesInLog, PicturesAndTheProjectsOwnFilesAreNoPackages) {
  // Lines of a real pdfLaTeX log of a document missing pictures and its own files.
  const std::vector<std::string> project = {"main.tex", "styles/house.sty", "chap/intro.tex"};
  const std::pair<const char*, Files> cases[] = {
      {"./main.tex:5: Package pdftex.def Error: File `other.png' not found: using draft", {}},
      {"! Package pdftex.def Error: File `photo.JPG' not found: using draft setting.", {}},
      {"! LaTeX Error: File `figure.pdf' not found.", {}},
      {"! LaTeX Error: File `house.sty' not found.", {}},
      {"! LaTeX Error: File `house' not found.", {}},
      {"! LaTeX Error: File `chap/intro.tex' not found.", {}},
      {"! LaTeX Error: File `intro.tex' not found.", {}},
      {"! LaTeX Error: File `outro.tex' not found.", {"outro.tex"}},
      {"! LaTeX Error: File `tikz.sty' not found.", {"tikz.sty"}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(missing_files_in_log(line, project), expected) << line;
}

TEST(MissingFilesInLog, LinesOfOtherPackagesAndEngines) {
  // Each line as the engine printed it for a document missing that file.
  const std::pair<const char*, Files> cases[] = {
      {"./tikzlib.tex:3: Package tikz Error: I did not find the tikz library 'nosuchlib'. I "
       "looked for files named tikzlibrarynosuchlib.code.tex and pgflibrarynosuchlib.code.tex, "
       "but neither could be found in the current texmf trees..",
       {"tikzlibrarynosuchlib.code.tex"}},
      {"! LaTeX Error: File `beamerthemeNoSuchTheme.sty' not found.",
       {"beamerthemeNoSuchTheme.sty"}},
      {"! LaTeX Error: File `beamercolorthemenosuchcolor.sty' not found.",
       {"beamercolorthemenosuchcolor.sty"}},
      {"I couldn't open style file nosuchstyle.bst", {"nosuchstyle.bst"}},
      {"Package biblatex Info: ... file 'nosuchbbxstyle.bbx' not found.", {"nosuchbbxstyle.bbx"}},
      {"Package biblatex Info: ... file 'nosuchcbxstyle.cbx' not found.", {"nosuchcbxstyle.cbx"}},
      {"Package biblatex Warning: File 'nosuchlbx.lbx' not found!", {"nosuchlbx.lbx"}},
      // A missing data model is normal: biblatex goes on without it.
      {"Package biblatex Info: ... file 'nosuchbbxstyle.dbx' not found.", {}},
      {"./fontfile.tex:4: Package fontspec Error: The font \"NoSuchFont-Regular\" cannot be found.",
       {"NoSuchFont-Regular.otf", "NoSuchFont-Regular.ttf"}},
      {"./f.tex:4: Package fontspec Error: The font \"TeX Gyre Nowhere\" cannot be found.", {}},
      {"luaotfload | db : Reload initiated (formats: otf,ttf,ttc); reason: File not found: "
       "\"NoSuchFont-Regular.otf\".",
       {"NoSuchFont-Regular.otf"}},
      {"./tfmx.tex:2: Font \\x=nosuchtfmfont not loadable: Metric (TFM) file or installed font not "
       "found.",
       {"nosuchtfmfont.tfm"}},
      {"!pdfTeX error: pdflatex (file nosuchfontfile.pfb): cannot open Type 1 font file for "
       "reading",
       {"nosuchfontfile.pfb"}},
      {"!pdfTeX error: pdflatex (file nosuchencfile.enc): cannot open encoding file for reading",
       {"nosuchencfile.enc"}},
      {"pdfTeX warning: pdflatex (file nosuchmapfile.map): cannot open font map file",
       {"nosuchmapfile.map"}},
      {"! error:  (type 1): cannot open file for reading 'nosuchfontfilel.pfb'",
       {"nosuchfontfilel.pfb"}},
      {"! error:  (type 1): cannot find encoding file 'nosuchencfile.enc' for reading",
       {"nosuchencfile.enc"}},
      {"luatex warning  (map file): cannot open font map file 'nosuchmapfile.map'",
       {"nosuchmapfile.map"}},
      {"xdvipdfmx:warning: Could not find encoding file \"nosuchencfile.enc\".",
       {"nosuchencfile.enc"}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(missing_files_in_log(line), expected) << line;
}

TEST(MissingFilesInLog, KeepsOrderWithoutRepeats) {
  const char* log =
      "! LaTeX Error: File `b.sty' not found.\r\n"
      "! LaTeX Error: File `a.sty' not found.\n"
      "! LaTeX Error: File `b.sty' not found.\n";
  EXPECT_EQ(missing_files_in_log(log), (Files{"b.sty", "a.sty"}));
}

TEST(WantedFilesInSource, CommandsOptionsAndComments) {
  const std::pair<const char*, Files> cases[] = {
      {"\\usepackage[utf8]{inputenc}\n\\usepackage{amsmath, amssymb}",
       {"inputenc.sty", "amsmath.sty", "amssymb.sty"}},
      {"\\documentclass[11pt]{article}", {"article.cls"}},
      {"\\usepackage{foo.sty}", {"foo.sty"}},
      {"x % \\usepackage{hidden}\n\\usepackage{shown}", {"shown.sty"}},
      {"50\\% \\usepackage{after}", {"after.sty"}},
      {"%\\usepackage{hidden}", {}},
      {"\\usepackage[main=ngerman,english,a=b,x y]{babel}",
       {"ngerman.ldf", "english.ldf", "babel.sty"}},
      {"\\RequirePackageWithOptions{opt}\\RequirePackage{req}", {"req.sty", "opt.sty"}},
      {"\\LoadClass{report}", {"report.cls"}},
      {"\\usepackage [x] \n {spaced}", {"spaced.sty"}},
      {"\\usepackagex{no}\\usepackage[unclosed{no}", {}},
      {"\\usepackage{a}\\usepackage{a}", {"a.sty"}},
      {"\\usepackage{bad name,-dash,ok}", {"-dash.sty", "ok.sty"}},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(wanted_files_in_source(text), expected) << text;
}

TEST(SearchOutput, HeadersAndIndentedPaths) {
  const char* output =
      "tlmgr: package repository https://mirror/systems/texlive/tlnet (verified)\n"
      "\ttexmf-dist/tex/latex/stray/orphan.sty\n"
      "koma-script:\n"
      "\ttexmf-dist/tex/latex/koma-script/scrartcl.cls\n"
      "\ttexmf-dist/tex/latex/koma-script/scrlayer.sty\n"
      "orphanpkg:\n"
      "\ttexmf-dist/tex/latex/o/orphan.sty\n"
      "  indented-header:\n";
  EXPECT_EQ(packages_in_search(output, {"scrlayer.sty", "orphan.sty"}),
            (Files{"koma-script", "orphanpkg"}));
  EXPECT_EQ(packages_in_search(output, {"layer.sty"}), Files{});
  EXPECT_EQ(packages_in_search(output, {"nothing.sty"}), Files{});
}

TEST(TlmgrSummary, LastMeaningfulLine) {
  EXPECT_EQ(tlmgr_summary("first\ntlmgr: package not found\n\n=====\n  \n"),
            "tlmgr: package not found");
  EXPECT_EQ(tlmgr_summary("==\n"), "==");
  EXPECT_EQ(tlmgr_summary(""), "no details");
  EXPECT_EQ(tlmgr_summary(std::string(300, 'x')), std::string(200, 'x'));
}

}  // namespace
}  // namespace vellora
