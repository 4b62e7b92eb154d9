// Names of converted EPS figures, the graphics configuration that has epstopdf used, and the
// makeindex runs a document's log asks for.

#include <gtest/gtest.h>

#include "compile/eps_figures.h"
#include "compile/index_tools.h"

namespace vellora {
namespace {

using Args = std::vector<std::string>;

TEST(EpsFigures, ConvertedNamesAreThoseOfEpstopdf) {
  const std::pair<const char*, const char*> cases[] = {
      {"fig.eps", "fig-eps-converted-to.pdf"},
      {"figures/plot.eps", "figures/plot-eps-converted-to.pdf"},
      {"mcr#b.eps", "mcr#b-eps-converted-to.pdf"},
      {"a.b/c.d.eps", "a.b/c.d-eps-converted-to.pdf"},
      {"page.ps", "page-ps-converted-to.pdf"},
      {"fig.EPS", ""},  // epstopdf has a rule for ".eps" only
      {"fig.pdf", ""},
      {"eps", ""},
      {"dir.eps/readme", ""},
      {".eps", ""},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(converted_figure_name(path), name) << path;
}

TEST(EpsFigures, GraphicsConfigurationKeepsTheInstalledOneAndLoadsEpstopdf) {
  const std::string cfg = graphics_cfg_with_epstopdf(
      "\\ProvidesFile{graphics.cfg}\n\\def\\Gin@driver{pdftex.def}\n\\endinput\n");
  const auto driver = cfg.find("\\def\\Gin@driver{pdftex.def}");
  const auto load = cfg.find("\\RequirePackage{epstopdf-base}");
  ASSERT_NE(driver, std::string::npos);
  ASSERT_NE(load, std::string::npos);
  EXPECT_LT(driver, load);
  // The installed file's \endinput would end the file before the loading: only the last one
  // is left.
  EXPECT_EQ(cfg.find("\\endinput"), cfg.rfind("\\endinput"));
  EXPECT_GT(cfg.find("\\endinput"), load);
  // A document that does not want epstopdf says so as it does to pdftex.def.
  EXPECT_NE(cfg.find("DoNotLoadEpstopdf"), std::string::npos);
}

TEST(IndexTools, RequestsInTheLog) {
  const std::string log =
      "runsystem(makeindex -s gloss.ist -t gloss.glg -o gloss.gls gloss.glo)...disabled.\n"
      "runsystem(makeindex -s gloss.ist -t gloss.glg-abr -o gloss.gls-abr "
      "gloss.glo-abr)...disabled.\n"
      "Package imakeidx Warning: Remember to run (pdf)latex again after calling\n"
      "(imakeidx)                `makeindex -s idxstyle.ist idx.idx'\n"
      "(imakeidx)                or call (pdf)latex with -shell-escape.\n"
      "(imakeidx)                `makeindex persons.idx'\n"
      // Repeated by a later run of the same log: asked once.
      "runsystem(makeindex -s gloss.ist -t gloss.glg -o gloss.gls gloss.glo)...disabled.\n"
      "runsystem(makeindex -l -g -s \"my gloss.ist\" -o x.gls x.glo)...disabled (restricted).\n";
  const std::vector<Args> expected = {
      {"-s", "gloss.ist", "-t", "gloss.glg", "-o", "gloss.gls", "gloss.glo"},
      {"-s", "gloss.ist", "-t", "gloss.glg-abr", "-o", "gloss.gls-abr", "gloss.glo-abr"},
      {"-s", "idxstyle.ist", "idx.idx"},
      {"persons.idx"},
      {"-l", "-g", "-s", "my gloss.ist", "-o", "x.gls", "x.glo"},
  };
  EXPECT_EQ(requested_makeindex_runs(log), expected);
}

TEST(IndexTools, RequestsThatAreNotPlainMakeindexRunsAreLeftOut) {
  const char* refused[] = {
      "runsystem(xindy -L english -C utf8 -I xindy -M x -t x.glg -o x.gls x.glo)...disabled.",
      "runsystem(makeglossaries x)...disabled.",
      "runsystem(makeindex -o /home/user/.bashrc x.idx)...disabled.",
      "runsystem(makeindex -o ../x.ind x.idx)...disabled.",
      "runsystem(makeindex -o sub/../../x.ind x.idx)...disabled.",
      "runsystem(makeindex -o .hidden x.idx)...disabled.",
      "runsystem(makeindex x.idx; rm -rf ~)...disabled.",
      "runsystem(makeindex `id` x.idx)...disabled.",
      "runsystem(makeindex $(id) x.idx)...disabled.",
      "runsystem(makeindex -i x.idx)...disabled.",
      "runsystem(makeindex -s)...disabled.",
      "runsystem(makeindex -p 1;2 x.idx)...disabled.",
      "runsystem(makeindex -s x.ist)...disabled.",
      "runsystem(makeindex \"x.idx)...disabled.",
      "runsystem(makeindex -o C:x.ind x.idx)...disabled.",
      "runsystem(makeindex -o x\\y.ind x.idx)...disabled.",
      "runsystem(makeindex -- -x.idx)...disabled.",
      "runsystem(makeindex x.idx)...executed safely (allowed).",
      "Remember: `makeindex x.idx' is not a request outside imakeidx's lines.",
  };
  for (const char* line : refused) EXPECT_TRUE(requested_makeindex_runs(line).empty()) << line;
  EXPECT_EQ(requested_makeindex_runs("runsystem(makeindex -p odd -c -q x.idx)...disabled."),
            std::vector<Args>({{"-p", "odd", "-c", "-q", "x.idx"}}));
}

}  // namespace
}  // namespace vellora
