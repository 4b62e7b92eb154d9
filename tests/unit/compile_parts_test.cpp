#include <gtest/gtest.h>

#include <set>

#include "common/text.h"
#include "compile/compile_log.h"
#include "compile/engine_command.h"
#include "compile/output_files.h"
#include "compile/stale_outputs.h"
#include "harness.h"
#include "platform/env.h"
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
  EXPECT_EQ(env_of(command, "LATEXMKRCSYS"), platform::null_device());
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
    run.confinement = platform::Confinement{.read_only = {"/usr"}, .writable = {"/w"}};
    const auto command = engine_command(run);
    EXPECT_EQ(env_of(command, "openin_any"), "p") << id;
    EXPECT_EQ(env_of(command, "openout_any"), "p") << id;
    EXPECT_EQ(env_of(command, "shell_escape"), "f") << id;
    EXPECT_EQ(env_of(command, "TEXMFOUTPUT"), "/w/_out") << id;
    // Compared as paths: Windows joins with its own separator.
    EXPECT_EQ(std::filesystem::path(env_of(command, "TMPDIR").value_or("")),
              std::filesystem::path("/w/_out/.tmp"))
        << id;
    ASSERT_TRUE(command.confinement) << id;
    EXPECT_EQ(command.confinement->writable, std::vector<std::filesystem::path>{"/w"}) << id;
  }
}

// An engine run's environment is built from nothing: the user's TeX settings, locale and home
// pass; the agent's other variables (a token, the session bus, an ssh-agent, a display) do not.
TEST(EngineCommand, EnvironmentIsAllowListed) {
  test::ScopedEnv token("MY_API_TOKEN", "secret");
  test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/bus");
  test::ScopedEnv ssh("SSH_AUTH_SOCK", "/tmp/agent.sock");
  test::ScopedEnv display("WAYLAND_DISPLAY", "wayland-0");
  test::ScopedEnv home("TEXMFHOME", "/home/u/mytexmf");
  test::ScopedEnv fonts("OSFONTDIR", "/home/u/fonts");
  test::ScopedEnv locale("LC_ALL", "C.UTF-8");
  for (const char* id : {"agent-pdflatex", "agent-context"}) {
    const auto command = engine_command(run_of(id, "main.tex"));
    EXPECT_FALSE(command.inherit_environment) << id;
    for (const char* hidden :
         {"MY_API_TOKEN", "DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK", "WAYLAND_DISPLAY"})
      EXPECT_FALSE(env_of(command, hidden)) << id << " " << hidden;
    EXPECT_EQ(env_of(command, "TEXMFHOME"), "/home/u/mytexmf") << id;
    EXPECT_EQ(env_of(command, "OSFONTDIR"), "/home/u/fonts") << id;
    EXPECT_EQ(env_of(command, "LC_ALL"), "C.UTF-8") << id;
    EXPECT_EQ(env_of(command, "PATH"), "/p1:/p2") << id;
    std::set<std::string> names;
    for (const auto& [name, value] : command.env) EXPECT_TRUE(names.insert(name).second) << name;
  }
}

TEST(EngineCommand, InputPathsForAMainFileInASubdirectory) {
  const std::string s(1, platform::path_list_separator());
  const std::string chapters = platform::path_text(std::filesystem::path("/w") / "chapters");
  test::ScopedEnv texinputs("TEXINPUTS", "." + s + "." + s + "/mine" + s);
  test::ScopedEnv bibinputs("BIBINPUTS", std::nullopt);
  test::ScopedEnv bstinputs("BSTINPUTS", "/styles");
  EXPECT_EQ(input_path_env("chapters/thesis.tex", "/w"),
            (Env{{"TEXINPUTS", "." + s + chapters + s + "/mine" + s},
                 {"BIBINPUTS", "." + s + chapters + s},
                 {"BSTINPUTS", "." + s + chapters + s + "/styles"}}));
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
  void program(const std::string& dir, const std::string& name, const test::FakeProgram& fake) {
    test::write_fake(dir_.path() / dir, name, fake);
  }
  std::vector<std::filesystem::path> dirs() const { return {dir_.path() / "a", dir_.path() / "b"}; }
  ProgramFinder finder() const {
    return [dirs = dirs()](const std::string& name) { return find_program_in(dirs, name); };
  }
  test::TempDir dir_;
};

const test::FakeProgram SUCCEEDS = {"exit 0\n", "exit /b 0\n"};

TEST_F(ToolchainTest, LatexmkEnginesNeedLatexmk) {
  program("a", "pdflatex",
          {"printf '  pdfTeX 3.14 (TeX Live)  \\nsecond line\\n'\n",
           "echo   pdfTeX 3.14 (TeX Live)  \necho second line\n"});
  program("a", "lualatex", {"exit 1\n", "exit /b 1\n"});
  program("b", "context",
          {"printf 'mtx-context | ConTeXt 1.04\\r\\n'\n", "echo mtx-context ^| ConTeXt 1.04\n"});
  program("b", "tectonic", {"echo 'Tectonic 0.15.0'\n", "echo Tectonic 0.15.0\n"});
  auto engines = detect_engines_with(finder());
  ASSERT_EQ(engines.size(), 2u);
  EXPECT_EQ(engines[0].id, "agent-tectonic");
  EXPECT_EQ(engines[0].version, "Tectonic 0.15.0");
  EXPECT_EQ(engines[1].id, "agent-context");
  EXPECT_EQ(engines[1].version, "mtx-context | ConTeXt 1.04");

  program("b", "latexmk", SUCCEEDS);
  engines = detect_engines_with(finder());
  ASSERT_EQ(engines.size(), 4u);
  EXPECT_EQ(engines[0].name, "pdfLaTeX");
  EXPECT_EQ(engines[0].version, "pdfTeX 3.14 (TeX Live)");
  EXPECT_EQ(engines[1].name, "LuaLaTeX");
  EXPECT_EQ(engines[1].version, "");  // printed nothing: still listed
}

TEST_F(ToolchainTest, VersionProbeGetsTheEnginesPath) {
  test::ScopedEnv path("PATH", test::path_list({dir_.path() / "first", dir_.path() / "second"}));
  program("a", "tectonic", {"echo \"$PATH\"\n", "echo %PATH%\n"});
  const auto engines = detect_engines_with(finder());
  ASSERT_EQ(engines.size(), 1u);
  EXPECT_EQ(engines[0].version, tool_path_value());
}

TEST_F(ToolchainTest, SearchDirectoriesStartWithPathAndReachTexTrees) {
  const std::filesystem::path first = dir_.path() / "first", second = dir_.path() / "second";
  test::ScopedEnv path("PATH", test::path_list({first, second}));
  test::ScopedEnv home("HOME", platform::path_text(dir_.path()));
  test::ScopedEnv profile("USERPROFILE", std::nullopt);
  test::ScopedEnv appdata("APPDATA", std::nullopt);
  test::ScopedEnv local("LOCALAPPDATA", std::nullopt);
  std::filesystem::create_directories(dir_.path() / ".TinyTeX/bin/x86_64-linux");
  std::filesystem::create_directories(dir_.path() / "context/tex/texmf-linux-64/bin");
  std::filesystem::create_directories(dir_.path() / "context/tex/texmfx");
  const auto dirs = tool_search_dirs();
  ASSERT_GE(dirs.size(), 6u);
  EXPECT_EQ(dirs[0], first);
  EXPECT_EQ(dirs[1], second);
  EXPECT_EQ(dirs[2], "/usr/local/bin");
  EXPECT_EQ(dirs[5], dir_.path() / ".local/bin");
  EXPECT_EQ(dirs[6], dir_.path() / "AppData/Local" / "Programs/MiKTeX/miktex/bin/x64");
  const auto has = [&](const std::filesystem::path& p) {
    return std::find(dirs.begin(), dirs.end(), p) != dirs.end();
  };
  EXPECT_TRUE(has(dir_.path() / ".TinyTeX/bin/x86_64-linux"));
  EXPECT_TRUE(has(dir_.path() / "context/tex/texmf-linux-64/bin"));
  EXPECT_FALSE(has(dir_.path() / "context/tex/texmfx/bin"));
  EXPECT_TRUE(tool_path_value().starts_with(test::path_list({first, second})));
}

// A folder whose name a PATH cannot hold is left out; the rest of the PATH stays.
TEST_F(ToolchainTest, OneOddFolderDoesNotEmptyTheChildPath) {
  const std::filesystem::path first = dir_.path() / "first";
  const std::string odd = platform::on_windows() ? "odd\"name" : "odd:name";
  test::ScopedEnv path("PATH", test::path_list({first}));
  test::ScopedEnv local("LOCALAPPDATA", platform::path_text(dir_.path() / odd));
  const std::string value = tool_path_value();
  EXPECT_TRUE(value.starts_with(test::path_list({first, "/usr/local/bin", "/usr/bin", "/bin"})))
      << value;
  EXPECT_EQ(value.find("odd"), std::string::npos) << value;
}

TEST(PathList, EntriesThatCannotBeRepresentedAreLeftOut) {
  const char sep = platform::path_list_separator();
  const std::string s(1, sep);
  const std::string odd = platform::on_windows() ? "x\"y" : "x:y";
  EXPECT_EQ(platform::join_path_list({"/a", odd, "", "/b"}), "/a" + s + "/b");
  EXPECT_EQ(platform::join_path_list({odd}), "");
  EXPECT_EQ(platform::join_path_list({}), "");
  if (platform::on_windows()) {
    // A ";" inside an entry is kept by quoting the entry, as Windows reads PATH.
    EXPECT_EQ(platform::join_path_list({"C:\\a;b", "C:\\c"}), "\"C:\\a;b\";C:\\c");
    EXPECT_EQ(platform::split_path_list("\"C:\\a;b\";C:\\c"),
              (std::vector<std::filesystem::path>{"C:\\a;b", "C:\\c"}));
  }
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
  EXPECT_EQ(read_output_file(dir.path() / "secret").bytes, "%PDF-secret");
  const auto big = read_output_file(dir.path() / "secret", 5);
  EXPECT_FALSE(big.bytes);
  EXPECT_EQ(big.too_large, 11u);

  std::error_code ec;
  std::filesystem::create_symlink(dir.path() / "secret", dir.path() / "main.pdf", ec);
  if (ec) GTEST_SKIP() << "this system cannot make symbolic links: " << ec.message();
  EXPECT_FALSE(read_output_file(dir.path() / "main.pdf").bytes);
  EXPECT_FALSE(read_log_bounded(dir.path() / "main.pdf"));
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
