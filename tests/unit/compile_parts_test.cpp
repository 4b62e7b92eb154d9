#include <gtest/gtest.h>

#include <set>

#include "common/text.h"
#include "compile/compile_log.h"
#include "compile/engine_command.h"
#include "compile/output_files.h"
#include "compile/stale_outputs.h"
#include "harness.h"
#include "toolchain/engines.h"
#include "toolchain/search.h"

namespace vellora {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

std::optional<std::string> env_of(const platform::Command& command, const std::string& name) {
  for (const auto& [key, value] : command.env)
    if (key == name) return value;
  return std::nullopt;
}

EngineRun run_of(std::string_view id, std::string main_file) {
  EngineRun run;
  run.engine_id = id;
  run.program = "/tex/bin/prog";
  run.main_file = std::move(main_file);
  run.work_dir = "/w";
  run.out_dir = "/w/_out";
  run.path_value = "/p1:/p2";
  return run;
}

TEST(EngineCommand, LatexmkArguments) {
  auto run = run_of("agent-xelatex", "main.tex");
  auto command = engine_command(run);
  EXPECT_EQ(command.args,
            (std::vector<std::string>{"-norc", "-xelatex", "-interaction=nonstopmode",
                                      "-halt-on-error", "-synctex=1", "-file-line-error",
                                      "-xelatex=xelatex -no-shell-escape %O %S", "-outdir=/w/_out",
                                      "main.tex"}));
  EXPECT_EQ(command.cwd, "/w");
  EXPECT_EQ(env_of(command, "PATH"), "/p1:/p2");
  EXPECT_EQ(env_of(command, "LATEXMKRCSYS"), "/dev/null");
  EXPECT_FALSE(env_of(command, "TEXINPUTS"));
  EXPECT_FALSE(command.input);
  EXPECT_TRUE(command.capture_output);

  run = run_of("agent-pdflatex", "main.tex");
  run.forced = true;
  command = engine_command(run);
  EXPECT_EQ(command.args[1], "-g");
  EXPECT_EQ(command.args[2], "-pdf");
  EXPECT_EQ(command.args[7], "-pdflatex=pdflatex -no-shell-escape %O %S");
  EXPECT_EQ(engine_command(run_of("agent-lualatex", "m.tex")).args[1], "-lualatex");
}

TEST(EngineCommand, TectonicAndContext) {
  EXPECT_EQ(engine_command(run_of("agent-tectonic", "a/b.tex")).args,
            (std::vector<std::string>{"-X", "compile", "--synctex", "--keep-logs", "--outdir",
                                      "/w/_out", "a/b.tex"}));
  auto run = run_of("agent-context", "doc/main.mkiv");
  run.extra_env = {{"TEXMF", "{/r}"}};
  const auto command = engine_command(run);
  EXPECT_EQ(command.args, (std::vector<std::string>{"--nonstopmode", "--sandbox", "--path=doc",
                                                    "doc/main.mkiv"}));
  EXPECT_EQ(env_of(command, "TEXMF"), "{/r}");
  EXPECT_FALSE(env_of(command, "LATEXMKRCSYS"));
  EXPECT_EQ(engine_command(run_of("agent-context", "main.tex")).args,
            (std::vector<std::string>{"--nonstopmode", "--sandbox", "main.tex"}));
}

// kpathsea reads these from the environment: TeX may open files only below the working and
// output directories (no absolute paths, no "..", no dot files) and never runs a shell.
TEST(EngineCommand, EveryEngineIsKeptToItsDirectories) {
  for (const char* id :
       {"agent-pdflatex", "agent-xelatex", "agent-lualatex", "agent-tectonic", "agent-context"}) {
    auto run = run_of(id, "main.tex");
    run.confinement = platform::Confinement{{"/usr"}, {"/w"}, false};
    const auto command = engine_command(run);
    EXPECT_EQ(env_of(command, "openin_any"), "p") << id;
    EXPECT_EQ(env_of(command, "openout_any"), "p") << id;
    EXPECT_EQ(env_of(command, "shell_escape"), "f") << id;
    EXPECT_EQ(env_of(command, "TEXMFOUTPUT"), "/w/_out") << id;
    EXPECT_EQ(env_of(command, "TMPDIR"), "/w/_out/.tmp") << id;
    ASSERT_TRUE(command.confinement) << id;
    EXPECT_EQ(command.confinement->writable, std::vector<std::filesystem::path>{"/w"}) << id;
  }
}

TEST(EngineCommand, InputPathsForAMainFileInASubdirectory) {
  test::ScopedEnv texinputs("TEXINPUTS", ".:.:/mine:");
  test::ScopedEnv bibinputs("BIBINPUTS", std::nullopt);
  test::ScopedEnv bstinputs("BSTINPUTS", "/styles");
  EXPECT_EQ(input_path_env("chapters/thesis.tex", "/w"),
            (Env{{"TEXINPUTS", ".:/w/chapters:/mine:"},
                 {"BIBINPUTS", ".:/w/chapters:"},
                 {"BSTINPUTS", ".:/w/chapters:/styles"}}));
  EXPECT_TRUE(input_path_env("thesis.tex", "/w").empty());
}

TEST(EngineCommand, JobNames) {
  EXPECT_EQ(job_name("chapters/thesis.tex"), "thesis");
  EXPECT_EQ(job_name("Main.TEX"), "Main");
  EXPECT_EQ(job_name("a.b.tex"), "a.b");
  EXPECT_EQ(parent_of("a/b/c.tex"), "a/b");
  EXPECT_EQ(parent_of("c.tex"), "");
}

TEST(CompileLog, PassLogJoinsTheLogFileAndTheOutput) {
  EXPECT_EQ(pass_log("", "out", "pdfLaTeX"), "out");
  EXPECT_EQ(pass_log("LOG", " \n", "pdfLaTeX"), "LOG");
  EXPECT_EQ(pass_log("LOG", "out", "XeLaTeX"), "LOG\n\n----- output of XeLaTeX -----\nout");
}

TEST(CompileLog, FirstFourDistinctBibtexErrors) {
  const char* log =
      "I couldn't open database file refs.bib\n"
      "  I couldn't open database file refs.bib  \n"
      "I was expecting a `,' or a `}'---line 3 of file refs.bib\n"
      "I couldn't open style file foo.bst\n"
      "I couldn't open file name `x.aux'\n"
      "I couldn't open style file bar.bst\n";
  EXPECT_EQ(bibtex_errors(log),
            (std::vector<std::string>{"I couldn't open database file refs.bib",
                                      "I was expecting a `,' or a `}'---line 3 of file refs.bib",
                                      "I couldn't open style file foo.bst",
                                      "I couldn't open file name `x.aux'"}));
}

TEST(CompileLog, PrefixesComeInTheirOrder) {
  InstallLog installs;
  installs.installed = {"a", "b"};
  installs.failed = {"x: no TeX Live package contains this file", "y: timed out"};
  const std::string log =
      assemble_log("I couldn't open style file s.bst\nbody", installs, false, true, 300);
  EXPECT_EQ(
      log,
      "BibTeX found errors: I couldn't open style file s.bst. If it is a .bst style from the "
      "project, try the "
      "TeX Live version (e.g. delete the project's .bst).\n\n"
      "Could not install automatically (tlmgr): x: no TeX Live package contains this file; y: "
      "timed out\n\n"
      "Packages installed automatically (local TeX Live): a, b\n\n"
      "I couldn't open style file s.bst\nbody\n\nCompilation time limit exceeded (300 seconds).");
  EXPECT_EQ(std::string("\n\nCompilation time limit exceeded (300 seconds).").size(), 48u);
  // A successful compile does not look for BibTeX errors.
  EXPECT_EQ(assemble_log("I couldn't open style file s.bst", {}, true, false, 300),
            "I couldn't open style file s.bst");
}

TEST(CompileLog, MissingBiberIsSaidInOneLine) {
  // What latexmk printed for a biblatex document on a machine without biber, and what cmd says.
  const std::string linux_log =
      "Running 'biber  \"out/main.bcf\"'\n------------\nsh: 1: biber: not found\n"
      "Latexmk: Errors, so I did not complete making targets";
  const std::string windows_log =
      "Running 'biber  \"main\"'\n'biber' is not recognized as an internal or external command,";
  for (const auto& log : {linux_log, windows_log}) {
    EXPECT_TRUE(biber_missing(log));
    EXPECT_TRUE(assemble_log(log, {}, false, false, 300)
                    .starts_with("This document's bibliography needs Biber (biblatex with "
                                 "backend=biber), which is not installed: install it (TeX Live: "
                                 "tlmgr install biber; Debian and Ubuntu: apt install biber) and "
                                 "compile again.\n\n"));
  }
  // Another program missing, or biber that ran and failed, is not this case.
  EXPECT_FALSE(biber_missing("Running 'bibtex main'\nsh: 1: bibtex: not found"));
  EXPECT_FALSE(biber_missing("Running 'biber main'\nERROR - Cannot find 'refs.bib'!"));
  EXPECT_EQ(assemble_log(linux_log, {}, true, false, 300), linux_log);
}

class ToolchainTest : public ::testing::Test {
 protected:
  void program(const std::string& relative, const std::string& script = "exit 0\n") {
    test::write_script(dir_.path() / relative, script);
  }
  std::vector<std::filesystem::path> dirs() const { return {dir_.path() / "a", dir_.path() / "b"}; }
  ProgramFinder finder() const {
    return [dirs = dirs()](const std::string& name) { return find_program_in(dirs, name); };
  }
  test::TempDir dir_;
};

TEST_F(ToolchainTest, FirstDirectoryWinsAndDirectoriesDoNotCount) {
  program("a/pdflatex");
  program("b/pdflatex.bat");
  EXPECT_EQ(find_program_in(dirs(), "pdflatex"), dir_.path() / "a/pdflatex");
  std::filesystem::create_directories(dir_.path() / "a/xelatex.exe");
  program("b/xelatex");
  EXPECT_EQ(find_program_in(dirs(), "xelatex"), dir_.path() / "b/xelatex");
  program("a/tool.bat");
  program("a/tool.exe");
  EXPECT_EQ(find_program_in(dirs(), "tool"), dir_.path() / "a/tool.exe");
  EXPECT_FALSE(find_program_in(dirs(), "missing"));
}

TEST_F(ToolchainTest, LatexmkEnginesNeedLatexmk) {
  program("a/pdflatex", "printf '  pdfTeX 3.14 (TeX Live)  \\nsecond line\\n'\n");
  program("a/lualatex", "exit 1\n");
  program("b/context", "printf 'mtx-context | ConTeXt 1.04\\r\\n'\n");
  program("b/tectonic", "echo 'Tectonic 0.15.0'\n");
  auto engines = detect_engines_with(finder());
  ASSERT_EQ(engines.size(), 2u);
  EXPECT_EQ(engines[0].id, "agent-tectonic");
  EXPECT_EQ(engines[0].version, "Tectonic 0.15.0");
  EXPECT_EQ(engines[1].id, "agent-context");
  EXPECT_EQ(engines[1].version, "mtx-context | ConTeXt 1.04");

  program("b/latexmk");
  engines = detect_engines_with(finder());
  ASSERT_EQ(engines.size(), 4u);
  EXPECT_EQ(engines[0].name, "pdfLaTeX");
  EXPECT_EQ(engines[0].version, "pdfTeX 3.14 (TeX Live)");
  EXPECT_EQ(engines[1].name, "LuaLaTeX");
  EXPECT_EQ(engines[1].version, "");  // printed nothing: still listed
}

TEST_F(ToolchainTest, SearchDirectoriesStartWithPathAndReachTexTrees) {
  test::ScopedEnv path("PATH", "/first:/second");
  test::ScopedEnv home("HOME", dir_.path().string());
  test::ScopedEnv profile("USERPROFILE", std::nullopt);
  test::ScopedEnv appdata("APPDATA", std::nullopt);
  test::ScopedEnv local("LOCALAPPDATA", std::nullopt);
  std::filesystem::create_directories(dir_.path() / ".TinyTeX/bin/x86_64-linux");
  std::filesystem::create_directories(dir_.path() / "context/tex/texmf-linux-64/bin");
  std::filesystem::create_directories(dir_.path() / "context/tex/texmfx");
  const auto dirs = tool_search_dirs();
  ASSERT_GE(dirs.size(), 6u);
  EXPECT_EQ(dirs[0], "/first");
  EXPECT_EQ(dirs[1], "/second");
  EXPECT_EQ(dirs[2], "/usr/local/bin");
  EXPECT_EQ(dirs[5], dir_.path() / ".local/bin");
  EXPECT_EQ(dirs[6], dir_.path() / "AppData/Local" / "Programs/MiKTeX/miktex/bin/x64");
  const auto has = [&](const std::filesystem::path& p) {
    return std::find(dirs.begin(), dirs.end(), p) != dirs.end();
  };
  EXPECT_TRUE(has(dir_.path() / ".TinyTeX/bin/x86_64-linux"));
  EXPECT_TRUE(has(dir_.path() / "context/tex/texmf-linux-64/bin"));
  EXPECT_FALSE(has(dir_.path() / "context/tex/texmfx/bin"));
  EXPECT_EQ(tool_path_value().substr(0, 14), "/first:/second");
}

TEST(ContextEnv, NothingWhenTexmfcnfIsSet) {
  test::ScopedEnv cnf("TEXMFCNF", "/somewhere");
  EXPECT_TRUE(context_env("/usr/bin/context").empty());
}

}  // namespace
}  // namespace vellora

namespace vellora {
namespace {

TEST(OutputFiles, HugeLogKeepsItsStartAndEndAndSaysWhatWasLeftOut) {
  test::TempDir dir;
  const auto log = dir.path() / "main.log";
  // "é" is two bytes: the cuts land inside characters unless they are moved.
  const std::string start = "This is the start\n" + std::string(11, 'x') + "\u00e9\u00e9\u00e9";
  const std::string middle(1000, 'm');
  const std::string end = "\u00e9\u00e9! LaTeX Error: File `x.sty' not found.\n";
  test::write_file(log, start + middle + end);
  const auto text = read_log_bounded(log, 32, 40);
  ASSERT_TRUE(text);
  EXPECT_TRUE(is_valid_utf8(*text));
  EXPECT_TRUE(text->starts_with("This is the start\nxxxxxxxxxxx\u00e9"));
  EXPECT_TRUE(text->ends_with(" not found.\n"));
  const auto notice = text->find("\n[... ");
  ASSERT_NE(notice, std::string::npos);
  const std::size_t left_out = std::stoul(text->substr(notice + 6));
  const std::size_t notice_end = text->find("left out ...]\n") + 14;
  EXPECT_EQ(left_out + notice + (text->size() - notice_end),
            start.size() + middle.size() + end.size());
  EXPECT_EQ(read_log_bounded(log, 4096, 4096), start + middle + end);
}

TEST(OutputFiles, LinksAndOversizedFilesAreNotRead) {
  test::TempDir dir;
  test::write_file(dir.path() / "secret", "%PDF-secret");
  std::filesystem::create_symlink(dir.path() / "secret", dir.path() / "main.pdf");
  EXPECT_FALSE(read_output_file(dir.path() / "main.pdf").bytes);
  EXPECT_FALSE(read_log_bounded(dir.path() / "main.pdf"));
  EXPECT_EQ(read_output_file(dir.path() / "secret").bytes, "%PDF-secret");
  const auto big = read_output_file(dir.path() / "secret", 5);
  EXPECT_FALSE(big.bytes);
  EXPECT_EQ(big.too_large, 11u);
}

}  // namespace
}  // namespace vellora

namespace vellora {
namespace {

TEST(StaleOutputs, ErrorsLocatedInTheOutputFolder) {
  const std::filesystem::path out = "/cache/work/p/_out";
  const std::pair<std::string, bool> cases[] = {
      {"/cache/work/p/_out/main.aux:2: Undefined control sequence.", true},
      {"x\n./_out/chapters/intro.aux:7: Missing \\begin{document}.\nmore", true},
      {"_out/main.toc:3: Undefined control sequence.", true},
      {"./main.tex:2: Undefined control sequence.", false},
      {"/cache/work/p/main.tex:2: Undefined control sequence.", false},
      {"/cache/work/p/_outline.tex:2: Undefined control sequence.", false},
      {"/cache/work/p/_out/main.aux: no line number", false},
      {"Output written on /cache/work/p/_out/main.pdf (1 page).", false},
  };
  for (const auto& [log, located] : cases)
    EXPECT_EQ(error_in_output_folder(log, out), located) << log;
}

TEST(StaleOutputs, EverythingButThePdfAndTheFoldersIsRemoved) {
  test::TempDir dir;
  const auto out = dir.path() / "_out";
  const auto outside = dir.path() / "outside.txt";
  test::write_file(outside, "kept");
  for (const char* name : {"main.pdf", "main.aux", "main.fdb_latexmk", "chapters/intro.aux"})
    test::write_file(out / name, "x");
  std::filesystem::create_directories(out / "empty");
  std::error_code no_links;  // where links cannot be made, the rest still holds
  std::filesystem::create_symlink(outside, out / "link.aux", no_links);
  remove_auxiliary_files(out, "main");
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
    left.insert(entry.path().lexically_relative(out).generic_string());
  EXPECT_EQ(left, (std::set<std::string>{"chapters", "empty", "main.pdf"}));
  EXPECT_EQ(test::read_text(outside), "kept");
}

}  // namespace
}  // namespace vellora
