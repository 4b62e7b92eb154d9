// Compiles over HTTP with the real binary: real TeX Live engines, fake tectonic and tlmgr.

#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <thread>

#include "common/base64.h"
#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string ARTICLE_WITH_BIBLIOGRAPHY =
    "\\documentclass{article}\n\\begin{document}\nHello \\cite{knuth}.\n"
    "\\bibliographystyle{plain}\n\\bibliography{refs}\n\\end{document}\n";
const std::string REFS =
    "@book{knuth, author={Donald Knuth}, title={The TeXbook}, year={1984}, publisher={AW}}\n";

// A tectonic that checks its arguments and writes what the real one would.
const std::string FAKE_TECTONIC =
    "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
    "[ \"$*\" = \"-X compile --synctex --keep-logs --outdir $PWD/_out main.tex\" ] || { echo \"bad "
    "args: $*\"; exit 9; }\n"
    // A project holding "slow.txt" compiles for 3 s (the agent passes no variable of its own).
    "[ -f slow.txt ] && sleep 3\n"
    "printf '%%PDF-1.5 fake' > _out/main.pdf\n"
    "printf 'This is tectonic' > _out/main.log\n"
    "printf '\\037\\213rest' > _out/main.synctex.gz\n";

// The Windows form records its arguments (checked by the test) and copies prepared outputs.
const std::string FAKE_TECTONIC_BAT =
    "if \"%~1\"==\"--version\" (\n  echo Tectonic 0.15.0\n  exit /b 0\n)\n"
    "\"%~dp0test_helper.exe\" record \"%~dp0tectonic.args\" %*\n"
    "if exist slow.txt ping -n 4 127.0.0.1 >nul\n"
    "copy /b \"%~dp0out.pdf\" _out\\main.pdf >nul\n"
    "copy /b \"%~dp0out.log\" _out\\main.log >nul\n"
    "copy /b \"%~dp0out.synctex.gz\" _out\\main.synctex.gz >nul\n";

void write_fake_tectonic(const std::filesystem::path& bin, const FakeProgram& fake) {
  write_fake(bin, "tectonic", fake);
  if (!platform::on_windows()) return;
  std::filesystem::copy_file(helper_binary(), bin / "test_helper.exe",
                             std::filesystem::copy_options::overwrite_existing);
  write_file(bin / "out.pdf", "%PDF-1.5 fake");
  write_file(bin / "out.log", "This is tectonic");
  write_file(bin / "out.synctex.gz", "\x1f\x8brest");
}

class CompileTest : public ::testing::Test {
 protected:
  void start() {
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  HttpResponse compile(const std::string& project, const std::string& main_file, const Files& files,
                       const std::string& engine, std::optional<bool> install_missing = false) {
    json::object body;
    body["project"] = project;
    body["mainFile"] = main_file;
    body["files"] = agent_.upload(token_, files);
    body["engine"] = engine;
    if (install_missing) body["installMissing"] = *install_missing;
    return agent_.post_auth("/v1/compile", json::serialize(body), token_);
  }
  HttpResponse raw_compile(const std::string& body) {
    return agent_.post_auth("/v1/compile", body, token_);
  }
  static std::string decode(const json::value& v) { return *base64_decode(v.as_string()); }

  Agent agent_;
  std::string token_;
};

void expect_compiled(const HttpResponse& response, const std::string& engine_used, bool with_bbl,
                     bool with_synctex = true) {
  ASSERT_EQ(response.status, 200u) << response.body.substr(0, 500);
  const auto reply = response.json();
  ASSERT_EQ(reply.at("success"), true) << reply.at("log").as_string();
  EXPECT_EQ(reply.at("engine_used"), engine_used.c_str());
  EXPECT_TRUE(std::string(reply.at("pdf_base64").as_string()).starts_with("JVBERi0"));  // "%PDF-"
  if (with_synctex) {
    EXPECT_TRUE(
        std::string(reply.at("synctex_base64").as_string()).starts_with("H4s"));  // gzip magic
  }
  if (with_bbl) {
    EXPECT_NE(base64_decode(reply.at("bbl_base64").as_string())->find("\\bibitem{knuth}"),
              std::string::npos);
  }
  EXPECT_TRUE(reply.at("installed").as_array().empty());
  EXPECT_TRUE(reply.at("ms").is_int64() || reply.at("ms").is_uint64());
}

TEST_F(CompileTest, LatexEnginesProducePdfSynctexAndBibliography) {
  start();
  const Files files = {{"main.tex", ARTICLE_WITH_BIBLIOGRAPHY}, {"refs.bib", REFS}};
  const std::pair<const char*, const char*> engines[] = {{"agent-pdflatex", "pdfLaTeX (local)"},
                                                         {"agent-xelatex", "XeLaTeX (local)"},
                                                         {"agent-lualatex", "LuaLaTeX (local)"}};
  for (const auto& [engine, label] : engines) {
    SCOPED_TRACE(engine);
    const auto response = compile(std::string("p-") + engine, "main.tex", files, engine);
    expect_compiled(response, label, true);
    EXPECT_EQ(response.json().at("mainFile"), "main.tex");
    EXPECT_EQ(response.header("Content-Type"), "application/json; charset=utf-8");
  }
}

TEST_F(CompileTest, ContextProducesAPdf) {
  start();
  const auto response =
      compile("ctx", "main.tex", {{"main.tex", "\\starttext\nHello ConTeXt\n\\stoptext\n"}},
              "agent-context");
  expect_compiled(response, "ConTeXt (local)", false, false);
  EXPECT_TRUE(std::filesystem::exists(agent_.cache_dir() / "work/ctx/_out/main.pdf"));
}

TEST_F(CompileTest, TexErrorIsASuccessfulRequestWithTheLog) {
  start();
  const auto response = compile(
      "broken", "main.tex",
      {{"main.tex", "\\documentclass{article}\\begin{document}\\undefinedmacro\\end{document}\n"}},
      "agent-pdflatex");
  ASSERT_EQ(response.status, 200u);
  const auto reply = response.json();
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_TRUE(reply.at("pdf_base64").is_null());
  EXPECT_TRUE(reply.at("synctex_base64").is_null());
  EXPECT_TRUE(reply.at("bbl_base64").is_null());
  const std::string log(reply.at("log").as_string());
  EXPECT_NE(log.find("Undefined control sequence"), std::string::npos);
  EXPECT_NE(log.find("----- output of pdfLaTeX -----"), std::string::npos);
}

TEST_F(CompileTest, MainFileInASubdirectoryFindsItsNeighbours) {
  start();
  const Files files = {
      {"chapters/thesis.tex",
       "\\documentclass{article}\\begin{document}\\input{intro}\\cite{knuth}\\bibliographystyle{"
       "mystyle}"
       "\\bibliography{refs}\\end{document}\n"},
      {"chapters/intro.tex", "Introduction text.\n"},
      {"chapters/refs.bib", REFS},
      {"chapters/mystyle.bst",
       read_text("/usr/share/texlive/texmf-dist/bibtex/bst/base/plain.bst")},
  };
  const auto response = compile("sub", "chapters/thesis.tex", files, "agent-pdflatex");
  expect_compiled(response, "pdfLaTeX (local)", true);
  EXPECT_TRUE(std::filesystem::exists(agent_.cache_dir() / "work/sub/_out/thesis.pdf"));
}

// TeX writes an included file's .aux below _out at the path it was named by, relative to the main
// file's folder.
TEST_F(CompileTest, MainFileInASubdirectoryIncludesFromItsOwnFolders) {
  start();
  const Files files = {
      {"thesis/main.tex",
       "\\documentclass{article}\\begin{document}\\include{chapters/intro}\\include{chapters/"
       "deep/more}\\end{document}\n"},
      {"thesis/chapters/intro.tex", "Introduction text.\n"},
      {"thesis/chapters/deep/more.tex", "More text.\n"},
  };
  const auto response = compile("inc", "thesis/main.tex", files, "agent-pdflatex");
  expect_compiled(response, "pdfLaTeX (local)", false);
  EXPECT_TRUE(std::filesystem::exists(agent_.cache_dir() / "work/inc/_out/chapters/intro.aux"));
}

// A macro written to the .aux by one version of the document and gone from the next one.
TEST_F(CompileTest, StaleAuxiliaryFileIsClearedAndTheDocumentCompiledAgain) {
  start();
  const std::string with_macro =
      "\\documentclass{article}\\makeatletter\\def\\mymark{\\protected@write\\@auxout{}{"
      "\\string\\mymacro}}\\makeatother\\newcommand\\mymacro{}\n"
      "\\begin{document}Hello\\mymark\\end{document}\n";
  const std::string without_macro =
      "\\documentclass{article}\\begin{document}Hello again\\end{document}\n";
  const auto first = compile("stale", "main.tex", {{"main.tex", with_macro}}, "agent-pdflatex");
  expect_compiled(first, "pdfLaTeX (local)", false);
  const std::string first_log(first.json().at("log").as_string());
  EXPECT_EQ(first_log.find("auxiliary files"), std::string::npos) << first_log;
  const auto out = agent_.cache_dir() / "work/stale/_out";
  ASSERT_NE(read_text(out / "main.aux").find("\\mymacro"), std::string::npos);
  write_file(out / "chapter-left-over.aux", "x");

  const auto second = compile("stale", "main.tex", {{"main.tex", without_macro}}, "agent-pdflatex");
  expect_compiled(second, "pdfLaTeX (local)", false);
  const std::string log(second.json().at("log").as_string());
  EXPECT_NE(log.find("the auxiliary files in _out were deleted and the document compiled again"),
            std::string::npos)
      << log;
  EXPECT_EQ(read_text(out / "main.aux").find("\\mymacro"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(out / "chapter-left-over.aux"));
}

TEST_F(CompileTest, MissingBlobIsNamedAndNothingIsWritten) {
  write_fake_tectonic(agent_.bin(), {FAKE_TECTONIC, FAKE_TECTONIC_BAT});
  start();
  const std::string digest = sha256_of("never uploaded");
  const std::string body =
      R"({"project":"p","mainFile":"main.tex","engine":"agent-tectonic","files":[{"path":"main.tex","sha256":")" +
      digest + R"("},{"path":"again.tex","sha256":")" + digest + R"("}]})";
  const auto response = raw_compile(body);
  EXPECT_EQ(response.status, 409u);
  EXPECT_EQ(response.body,
            R"({"error":"missing contents","need":[")" + digest + R"(",")" + digest + R"("]})");
  EXPECT_FALSE(std::filesystem::exists(agent_.cache_dir() / "work/p"));
  // The project was released: after the upload it compiles.
  agent_.upload(token_, {{"main.tex", "never uploaded"}});
  const auto compiled = raw_compile(body);
  EXPECT_EQ(compiled.status, 200u) << compiled.body;
}

TEST_F(CompileTest, ValidationErrorsInTheirOrder) {
  start();
  const std::string main = sha256_of("main");
  const auto request = [&](std::string project, std::string main_file, std::string files,
                           std::string engine) {
    return R"({"project":)" + project + R"(,"mainFile":)" + main_file + R"(,"files":)" + files +
           R"(,"engine":)" + engine + "}";
  };
  const std::string ok_files = R"([{"path":"main.tex","sha256":")" + main + R"("}])";
  const std::pair<std::string, std::string> cases[] = {
      {request("\".bad\"", "\"x.pdf\"", "5", "\"nope\""), "invalid project"},
      {request("5", "\"main.tex\"", ok_files, "\"agent-pdflatex\""), "invalid project"},
      {request("\"p\"", "\"main.pdf\"", "5", "\"nope\""), "invalid main file"},
      {request("\"p\"", "\"main.mkiv\"", ok_files, "\"agent-pdflatex\""), "invalid main file"},
      {request("\"p\"", "\"../main.tex\"", ok_files, "\"agent-pdflatex\""), "invalid main file"},
      {request("\"p\"", "\"main.tex\"", "5", "\"nope\""),
       "invalid list: invalid type: integer `5`, expected a sequence"},
      {request("\"p\"", "\"main.tex\"", R"([{"path":"../x.tex","sha256":")" + main + R"("}])",
               "\"nope\""),
       "invalid file list or missing the main file"},
      {request("\"p\"", "\"main.tex\"", R"([{"path":"main.tex","sha256":"abc"}])", "\"nope\""),
       "invalid file list or missing the main file"},
      {request("\"p\"", "\"Main.tex\"", ok_files, "\"agent-pdflatex\""),
       "invalid file list or missing the main file"},
      {request("\"p\"", "\"main.tex\"",
               R"([{"path":"main.tex","sha256":")" + main + R"("},{"path":"main.tex","sha256":")" +
                   main + R"("}])",
               "\"agent-pdflatex\""),
       "invalid file list: \"main.tex\" is listed twice"},
      {request("\"p\"", "\"main.tex\"",
               R"([{"path":"main.tex","sha256":")" + main + R"("},{"path":"a","sha256":")" + main +
                   R"("},{"path":"a/b.tex","sha256":")" + main + R"("}])",
               "\"agent-pdflatex\""),
       "invalid file list: \"a\" is a file and also the folder of \"a/b.tex\""},
      {request("\"p\"", "\"main.tex\"",
               R"([{"path":"main.tex","path":"other.tex","sha256":")" + main + R"("}])",
               "\"agent-pdflatex\""),
       "invalid list: duplicate field `path`"},
      {request("\"p\"", "\"main.tex\"",
               R"([{"path":"main.tex","sha256":")" + main + R"(","sha256":")" + main + R"("}])",
               "\"agent-pdflatex\""),
       "invalid list: duplicate field `sha256`"},
      {request("\"p\"", "\"main.tex\"", ok_files, "\"agent-nothing\""),
       "compiler not found on this machine"},
      {request("\"p\"", "\"main.tex\"", ok_files, "null"), "compiler not found on this machine"},
  };
  for (const auto& [body, error] : cases) {
    const auto response = raw_compile(body);
    EXPECT_EQ(response.status, 400u) << body;
    EXPECT_EQ(response.json().at("error"), error.c_str()) << body;
  }
}

TEST_F(CompileTest, UpperCaseExtensionAndContextSources) {
  start();
  const auto response =
      compile("upper", "Main.TEX",
              {{"Main.TEX", "\\documentclass{article}\\begin{document}x\\end{document}\n"}},
              "agent-pdflatex");
  expect_compiled(response, "pdfLaTeX (local)", false);
  const auto mkiv = compile("mkiv", "doc.mkiv", {{"doc.mkiv", "\\starttext\nmkiv\n\\stoptext\n"}},
                            "agent-context");
  EXPECT_EQ(mkiv.json().at("success"), true) << mkiv.body.substr(0, 300);
}

TEST_F(CompileTest, TectonicRunsWithItsArgumentsAndNeverTlmgr) {
  write_fake_tectonic(agent_.bin(), {FAKE_TECTONIC, FAKE_TECTONIC_BAT});
  write_fake(agent_.bin(), "tlmgr",
             {"echo \"$*\" >> \"$0.calls\"\n", ">>\"%~dp0tlmgr.calls\" echo %*\n"});
  start();
  const auto response = compile("tec", "main.tex", {{"main.tex", "x"}}, "agent-tectonic", true);
  ASSERT_EQ(response.json().at("success"), true) << response.body;
  EXPECT_EQ(response.json().at("engine_used"), "Tectonic (local)");
  EXPECT_EQ(decode(response.json().at("pdf_base64")), "%PDF-1.5 fake");
  EXPECT_EQ(decode(response.json().at("synctex_base64")), "\x1f\x8brest");
  EXPECT_EQ(response.json().at("log"), "This is tectonic");
  EXPECT_FALSE(std::filesystem::exists(agent_.bin() / "tlmgr.calls"));
  if (platform::on_windows()) {
    EXPECT_EQ(read_text(agent_.bin() / "tectonic.args"),
              "[-X][compile][--synctex][--keep-logs][--outdir][" +
                  platform::path_text(agent_.cache_dir() / "work" / "tec" / "_out") +
                  "][main.tex]");
  }
}

// A TeX whose programs on PATH are links into a folder outside every default (a Nix or Guix
// store, Homebrew, a ~/bin link to a TeX installed elsewhere) still runs confined.
TEST_F(CompileTest, ProgramsReachedThroughLinksRun) {
  if (platform::on_windows()) GTEST_SKIP() << "POSIX links; nothing is confined on Windows";
  const fs::path store = agent_.root() / "store/tex-1.0/bin";
  write_fake_tectonic(store, {FAKE_TECTONIC, FAKE_TECTONIC_BAT});
  fs::create_symlink(store / "tectonic", agent_.bin() / "tectonic");
  start();
  const auto response = compile("linked", "main.tex", {{"main.tex", "x"}}, "agent-tectonic");
  ASSERT_EQ(response.status, 200u) << response.body;
  EXPECT_EQ(response.json().at("success"), true) << response.body;
}

TEST_F(CompileTest, OneCompilePerProjectAtATime) {
  write_fake_tectonic(agent_.bin(), {FAKE_TECTONIC, FAKE_TECTONIC_BAT});
  start();
  agent_.upload(token_, {{"main.tex", "x"}});
  auto first = std::async(std::launch::async, [&] {
    return compile("same", "main.tex", {{"main.tex", "x"}, {"slow.txt", "slow"}}, "agent-tectonic");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const auto second = compile("same", "main.tex", {{"main.tex", "x"}}, "agent-tectonic");
  EXPECT_EQ(second.status, 409u);
  EXPECT_EQ(second.body, R"({"error":"this project is already being compiled"})");
  const auto other = compile("other", "main.tex", {{"main.tex", "x"}}, "agent-tectonic");
  EXPECT_EQ(other.json().at("success"), true);
  EXPECT_EQ(first.get().json().at("success"), true);
  EXPECT_EQ(compile("same", "main.tex", {{"main.tex", "x"}}, "agent-tectonic").status, 200u);
}

TEST_F(CompileTest, RunOverTheTimeLimitIsKilledWithItsChildren) {
  write_fake_tectonic(
      agent_.bin(),
      {"[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
       "sleep 1000 & echo $! > tectonic.child\necho 'compiling for ever'\nsleep 1000\n",
       "if \"%~1\"==\"--version\" (\n  echo Tectonic 0.15.0\n  exit /b 0\n)\n"
       "echo compiling for ever\n\"%~dp0test_helper.exe\" tree tectonic.child\n"});
  agent_.set_env("VELLORA_RUN_LIMIT_SECS", "2");
  start();
  const auto started = std::chrono::steady_clock::now();
  const auto response = compile("slow", "main.tex", {{"main.tex", "x"}}, "agent-tectonic");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  const auto reply = response.json();
  EXPECT_EQ(reply.at("success"), false);
  const std::string log(reply.at("log").as_string());
  if (platform::on_windows()) {
    EXPECT_TRUE(log.starts_with("compiling for ever\r\n")) << log;
    EXPECT_TRUE(log.ends_with("\n\nCompilation time limit exceeded (2 seconds).")) << log;
  } else {
    EXPECT_EQ(log, "compiling for ever\n\n\nCompilation time limit exceeded (2 seconds).");
  }
  // Engines write only in their work directory.
  const std::string child = read_text(agent_.cache_dir() / "work/slow/tectonic.child");
  ASSERT_FALSE(child.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(process_alive(std::stoi(child)));
}

// tlmgr "installs" a package by writing its .sty into TEXMFHOME, where the real kpsewhich and
// pdflatex then find it.
const std::string FAKE_TLMGR =
    "echo \"$*\" >> \"$0.calls\"\n"
    "case \"$1\" in\n"
    "  search) for f in fakepkg fakepkgtwo; do case \"$4\" in *$f*) echo \"$f:\"; echo "
    "\"\ttexmf-dist/tex/latex/$f/$f.sty\";; esac; done ;;\n"
    "  install) [ \"$2\" = fakepkgtwo ] && [ -n \"$FAIL_INSTALL\" ] && { echo 'download failed'; "
    "exit 1; }\n"
    "     mkdir -p \"$HOME/texmf/tex/latex/$2\" && echo '\\ProvidesPackage{'$2'}' > "
    "\"$HOME/texmf/tex/latex/$2/$2.sty\" ;;\n"
    "esac\n";

const std::string USES_PACKAGES =
    "\\documentclass{article}\n\\usepackage{fakepkg}\n\\newcommand\\later{fakepkgtwo}"
    "\n\\usepackage{\\later}\n"
    "\\begin{document}x\\end{document}\n";

TEST_F(CompileTest, MissingPackagesAreInstalledBeforeAndBetweenPasses) {
  write_script(agent_.bin() / "tlmgr", FAKE_TLMGR);
  start();
  const auto response =
      compile("pkgs", "main.tex", {{"main.tex", USES_PACKAGES}}, "agent-pdflatex", std::nullopt);
  const auto reply = response.json();
  ASSERT_EQ(reply.at("success"), true) << reply.at("log").as_string();
  EXPECT_EQ(reply.at("installed"), json::parse(R"(["fakepkg","fakepkgtwo"])"));
  EXPECT_TRUE(
      std::string(reply.at("log").as_string())
          .starts_with(
              "Packages installed automatically (local TeX Live): fakepkg, fakepkgtwo\n\n"));
  // fakepkg came from the sources before the first pass, fakepkgtwo from the first pass's log.
  EXPECT_EQ(read_text(agent_.bin() / "tlmgr.calls"),
            "search --global --file /(fakepkg\\.sty)$\ninstall fakepkg\n"
            "search --global --file /fakepkgtwo.sty\ninstall fakepkgtwo\n");
}

TEST_F(CompileTest, MissingTikzLibraryAndBibtexStyleAreInstalledBetweenPasses) {
  // tlmgr knows a TikZ library and a BibTeX style; "installing" writes them into TEXMFHOME.
  write_script(
      agent_.bin() / "tlmgr",
      "echo \"$*\" >> \"$0.calls\"\n"
      "case \"$1\" in\n"
      "  search) case \"$4\" in\n"
      "    *tikzlibraryfakelib*) echo 'fakelib:'; echo '\ttexmf-dist/tex/generic/fakelib/"
      "tikzlibraryfakelib.code.tex' ;;\n"
      "    *fakestyle*) echo 'fakestyle:'; echo '\ttexmf-dist/bibtex/bst/fakestyle/fakestyle.bst' "
      ";;\n"
      "  esac ;;\n"
      "  install) case \"$2\" in\n"
      "    fakelib) mkdir -p \"$HOME/texmf/tex/generic/fakelib\" && : > "
      "\"$HOME/texmf/tex/generic/fakelib/tikzlibraryfakelib.code.tex\" ;;\n"
      "    fakestyle) mkdir -p \"$HOME/texmf/bibtex/bst/fakestyle\" && cp \"$(kpsewhich "
      "plain.bst)\" \"$HOME/texmf/bibtex/bst/fakestyle/fakestyle.bst\" ;;\n"
      "  esac ;;\n"
      "esac\n");
  start();
  const std::string document =
      "\\documentclass{article}\n\\usepackage{tikz}\n\\usetikzlibrary{fakelib}\n"
      "\\begin{document}\nHello \\cite{knuth}.\n\\bibliographystyle{fakestyle}\n"
      "\\bibliography{refs}\n\\end{document}\n";
  const auto reply = compile("wider", "main.tex", {{"main.tex", document}, {"refs.bib", REFS}},
                             "agent-pdflatex", true)
                         .json();
  ASSERT_EQ(reply.at("success"), true) << reply.at("log").as_string();
  EXPECT_EQ(reply.at("installed"), json::parse(R"(["fakelib","fakestyle"])"));
  const std::string calls = read_text(agent_.bin() / "tlmgr.calls");
  EXPECT_NE(calls.find("search --global --file /tikzlibraryfakelib.code.tex\ninstall fakelib\n"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("search --global --file /fakestyle.bst\ninstall fakestyle\n"),
            std::string::npos)
      << calls;
}

TEST_F(CompileTest, FailedInstallStopsThePassesAndIsReported) {
  write_script(agent_.bin() / "tlmgr", FAKE_TLMGR);
  agent_.set_env("FAIL_INSTALL", "1");
  start();
  const auto reply =
      compile("fail", "main.tex", {{"main.tex", USES_PACKAGES}}, "agent-pdflatex", true).json();
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_EQ(reply.at("installed"), json::parse(R"(["fakepkg"])"));
  EXPECT_TRUE(std::string(reply.at("log").as_string())
                  .starts_with("Could not install automatically (tlmgr): fakepkgtwo "
                               "(fakepkgtwo.sty): download failed\n\n"
                               "Packages installed automatically (local TeX Live): fakepkg\n\n"))
      << reply.at("log").as_string();
}

TEST_F(CompileTest, InstallMissingFalseRunsOnce) {
  write_script(agent_.bin() / "tlmgr", FAKE_TLMGR);
  start();
  const auto reply =
      compile("off", "main.tex", {{"main.tex", USES_PACKAGES}}, "agent-pdflatex", false).json();
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_FALSE(std::filesystem::exists(agent_.bin() / "tlmgr.calls"));
  EXPECT_NE(reply.at("log").as_string().find("File `fakepkg.sty' not found"), std::string::npos);
}

// A latexmk that never finds its next package: every run names a new missing file.
const std::string ENDLESSLY_MISSING_LATEXMK =
    "n=$(cat latexmk.count 2>/dev/null || echo 0); n=$((n+1)); echo $n > latexmk.count\n"
    "echo \"$*\" >> latexmk.calls\n"
    "echo \"! LaTeX Error: File \\`pkg$n.sty' not found.\"\nexit 12\n";

// Windows: the test helper as latexmk.exe, in the mode its latexmk.mode names, and a pdflatex that
// only has to exist.
void windows_fake_latexmk(Agent& agent, const std::string& mode) {
  if (!platform::on_windows()) return;
  std::filesystem::copy_file(helper_binary(), agent.bin() / "latexmk.exe");
  write_fake(agent.bin(), "pdflatex", {"", "exit /b 0\n"});
  write_file(agent.bin() / "latexmk.mode", mode);
}

TEST_F(CompileTest, PassesStopAfterForty) {
  write_script(agent_.bin() / "latexmk", ENDLESSLY_MISSING_LATEXMK);
  windows_fake_latexmk(agent_, "endless");
  write_fake(agent_.bin(), "tlmgr",
             {"case \"$1\" in search) f=${4#/}; echo \"p-${f%.sty}:\"; echo \" "
              "texmf-dist/tex/$f\" ;; esac\n",
              "if not \"%~1\"==\"search\" exit /b 0\nset \"f=%~4\"\nset \"f=%f:~1%\"\n"
              "echo p-%f:.sty=%:\necho  texmf-dist/tex/%f%\n"});
  start();
  const auto reply =
      compile("loop", "main.tex", {{"main.tex", "x"}}, "agent-pdflatex", true).json();
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_FALSE(reply.as_object().contains("pdf_base64"));
  EXPECT_EQ(reply.at("installed").as_array().size(), 40u);
  const std::string log(reply.at("log").as_string());
  EXPECT_TRUE(
      log.starts_with("Stopped installing packages automatically (too many rounds or timed out). "
                      "Installed: p-pkg1, p-pkg2, "))
      << log.substr(0, 300);
  EXPECT_NE(log.find("p-pkg40.\n\n! LaTeX Error: File `pkg40.sty' not found."), std::string::npos);
  const std::string calls = read_text(agent_.cache_dir() / "work/loop/latexmk.calls");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 40);
  // Every pass after the first forces a rebuild.
  EXPECT_TRUE(calls.starts_with("-norc -pdf ")) << calls.substr(0, 200);
  EXPECT_NE(calls.find("\n-norc -g -pdf "), std::string::npos);
}

TEST_F(CompileTest, NothingToDoIsRetriedOnceWithForce) {
  write_script(agent_.bin() / "latexmk",
               "echo \"$*\" >> latexmk.calls\n"
               "case \"$2\" in -g) printf '%%PDF-1.5' > \"${9#-outdir=}/main.pdf\"; exit 0;; esac\n"
               "echo 'Latexmk: Nothing to do for main.tex'; exit 1\n");
  windows_fake_latexmk(agent_, "nothing-to-do");
  start();
  const auto reply = compile("retry", "main.tex", {{"main.tex", "x"}}, "agent-pdflatex").json();
  EXPECT_EQ(reply.at("success"), true) << reply.at("log").as_string();
  const std::string calls = read_text(agent_.cache_dir() / "work/retry/latexmk.calls");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 2) << calls;
}

}  // namespace
}  // namespace vellora::test
