// A compiled project is untrusted: what it can make the agent and its engines do, tried as an
// attacker would, with the real binary and real TeX Live.

#include <gtest/gtest.h>

#include <functional>

#include "common/base64.h"
#include "harness.h"
#include "platform/env.h"

namespace vellora::test {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

class SecurityTest : public ::testing::Test {
 protected:
  void start() {
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  HttpResponse compile(const std::string& project, const std::string& main_file, const Files& files,
                       const std::string& engine) {
    return agent_.post_auth("/v1/compile",
                            compile_body(project, main_file, agent_.upload(token_, files), engine),
                            token_);
  }
  fs::path work(const std::string& project) const { return agent_.cache_dir() / "work" / project; }

  // Every file of a folder with its content, to see that nothing changed.
  static std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string name = entry.path().lexically_relative(dir).string();
      files[name] = entry.is_symlink()        ? "link"
                    : entry.is_regular_file() ? read_text(entry.path())
                                              : "folder";
    }
    return files;
  }

  // Every blob still holds the content its name is the digest of.
  void expect_blobs_intact() const {
    for (const auto& entry : fs::directory_iterator(agent_.cache_dir() / "blobs")) {
      if (entry.path().filename().string().starts_with(".")) continue;
      EXPECT_EQ(sha256_of(read_text(entry.path())), entry.path().filename().string())
          << "blob changed: " << entry.path();
    }
  }

  Agent agent_;
  std::string token_;
};

const std::string HELLO = "\\documentclass{article}\n\\begin{document}\nHello.\n\\end{document}\n";

// latexmk runs the engine through sh -c with the name in double quotes, and TeX reads it too.
TEST_F(SecurityTest, MainFileNamesAShellOrTexWouldInterpretAreRefused) {
  if (platform::on_windows())
    GTEST_SKIP() << "needs TeX Live's latexmk; the names are checked before any engine runs";
  start();
  const std::string refused[] = {"c\";touch pwned;\".tex",
                                 "a$(touch pwned).tex",
                                 "a`touch pwned`.tex",
                                 "50%.tex",
                                 "#1.tex",
                                 "{a}.tex",
                                 "~a.tex",
                                 "a&b.tex",
                                 "a|b.tex",
                                 "a;b.tex",
                                 "a<b.tex",
                                 "a>b.tex",
                                 "a*b.tex",
                                 "a?b.tex",
                                 "a!b.tex",
                                 "a^b.tex",
                                 "a\tb.tex",
                                 "a\\b.tex"};
  for (const std::string& name : refused) {
    const auto response = compile("names", name, {{name, HELLO}}, "agent-pdflatex");
    EXPECT_EQ(response.status, 400u) << name;
    EXPECT_EQ(response.body.find("\"error\":\"invalid main file\""), 1u) << name;
  }
  EXPECT_FALSE(fs::exists(work("names") / "pwned"));

  for (const std::string name :
       {"paper (final).tex", "d\u00e9j\u00e0 vu/r\u00e9sum\u00e9's [v2], a=b+c@x.tex"}) {
    const auto response = compile("names-ok", name, {{name, HELLO}}, "agent-pdflatex");
    ASSERT_EQ(response.status, 200u) << name << response.body;
    EXPECT_EQ(response.json().at("success"), true) << response.json().at("log").as_string();
  }
}

TEST_F(SecurityTest, ToolOutputPathsAndTheManifestAreNotProjectPaths) {
  start();
  for (const std::string path :
       {"_out/main.pdf", "_OUT/x.tex", "_out", ".vellora-manifest.json", ".vellora-manifest.tmp"}) {
    const auto response = compile("reserved", "main.tex", {{"main.tex", HELLO}, {path, "%PDF-1.5"}},
                                  "agent-pdflatex");
    EXPECT_EQ(response.status, 400u) << path;
    EXPECT_NE(std::string(response.json().at("error").as_string()).find("\"" + path + "\""),
              std::string::npos)
        << response.body;
  }
}

// Projects, their PDFs, tokens and pairing codes are the user's alone.
TEST_F(SecurityTest, AgentDirectoriesAreReadableByTheUserAlone) {
  if (platform::on_windows())
    GTEST_SKIP() << "POSIX permissions; Windows profiles are private to their user";
  start();
  ASSERT_EQ(compile("private", "main.tex", {{"main.tex", HELLO}}, "agent-pdflatex").status, 200u);
  for (const fs::path& dir : {agent_.config_dir(), agent_.cache_dir()})
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all) << dir;
}

// What an earlier compile may have left: links where the project's folders and outputs belong.
TEST_F(SecurityTest, LinksInTheWorkDirectoryAreReplacedNotFollowed) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live and POSIX symbolic links";
  start();
  const std::string main =
      "\\documentclass{article}\n\\begin{document}\n\\input{sub/a}\n"
      "\\end{document}\n";
  ASSERT_EQ(
      compile("links", "main.tex", {{"main.tex", main}, {"sub/a.tex", "One."}}, "agent-pdflatex")
          .status,
      200u);
  const fs::path outside = agent_.root() / "outside";
  fs::create_directories(outside / "out");
  write_file(outside / "keep.txt", "keep");
  fs::remove_all(work("links") / "sub");
  fs::create_directory_symlink(outside, work("links") / "sub");
  fs::remove_all(work("links") / "_out");
  fs::create_directory_symlink(outside / "out", work("links") / "_out");
  const auto before = snapshot(outside);

  const auto response =
      compile("links", "main.tex",
              {{"main.tex", main}, {"sub/a.tex", "Two."}, {"sub/b.tex", "new"}}, "agent-pdflatex");
  ASSERT_EQ(response.status, 200u);
  EXPECT_EQ(response.json().at("success"), true) << response.json().at("log").as_string();
  EXPECT_EQ(snapshot(outside), before);
  EXPECT_FALSE(fs::is_symlink(work("links") / "sub"));
  EXPECT_FALSE(fs::is_symlink(work("links") / "_out"));
  EXPECT_TRUE(fs::exists(work("links") / "_out/main.pdf"));
}

// A document is code: Lua in LuaLaTeX and ConTeXt, \openin in every engine. Nothing outside the
// work directory may change, and nothing private may come back in the reply.
TEST_F(SecurityTest, DocumentsCannotReachOutsideTheirWorkDirectory) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live and ConTeXt";
  start();
  const fs::path outside = agent_.root() / "outside";
  for (const char* name : {"victim", "victim2", "victim3"}) write_file(outside / name, name);
  write_file(agent_.home() / "secret.txt", "TOPSECRET-HOME");
  ASSERT_EQ(compile("other", "main.tex", {{"main.tex", HELLO}, {"notes.tex", "OTHER-PROJECT"}},
                    "agent-pdflatex")
                .status,
            200u);
  const std::string devices = read_text(agent_.config_dir() / "devices.json");
  ASSERT_FALSE(devices.empty());
  const auto before = snapshot(outside);

  const std::string o = outside.string(), secret = (agent_.home() / "secret.txt").string();
  const std::string config = agent_.config_dir().string();
  const std::string reads = "{\"" + secret + "\", \"" + config + "/devices.json\", \"" + config +
                            "/pairing.json\", \"../other/notes.tex\"}";
  const std::string lua_escapes =
      "local o = \"" + o +
      "\"\n"
      "local f = io.open(o .. \"/written\", \"w\") if f then f:write(\"x\") f:close() end\n"
      "os.remove(o .. \"/victim\")\n"
      "os.rename(o .. \"/victim2\", o .. \"/moved\")\n"
      "lfs.mkdir(o .. \"/newdir\")\n"
      "pcall(lfs.link, o .. \"/victim3\", o .. \"/hardlink\")\n"
      "pcall(lfs.link, o .. \"/victim3\", o .. \"/symlink\", true)\n"
      "local g = io.open(\"../../../../outside/relative\", \"w\") if g then g:write(\"x\") "
      "g:close() end\n"
      "for _, p in ipairs(" +
      reads +
      ") do local h = io.open(p, \"r\") if h then "
      "texio.write_nl(\"LEAK:\" .. h:read(\"a\")) h:close() end end\n";

  const std::string lualatex_doc =
      "\\documentclass{article}\n\\begin{document}\n\\directlua{" + lua_escapes +
      "local c = io.open(\"chapter.tex\", \"w\") if c then c:write(\"changed\") c:close() end}\n"
      "Done.\n\\end{document}\n";
  const std::string openin_doc =
      "\\documentclass{article}\n\\newread\\r\n"
      "\\def\\try#1{\\openin\\r=#1 \\ifeof\\r\\else\\read\\r to\\x\\typeout{LEAK:\\x}"
      "\\closein\\r\\fi}\n\\begin{document}\n\\try{" +
      secret + "}\\try{" + config + "/devices.json}\\try{../other/notes.tex}\n\\IfFileExists{" +
      secret + "}{\\input{" + secret + "}}{}Done.\n\\end{document}\n";
  const std::string context_doc = "\\starttext\n\\startluacode\nos.execute(\"touch " + o +
                                  "/ctx-exec\")\n"
                                  "os.execute(\"touch ran-inside\")\n"
                                  "local p = io.popen(\"touch " +
                                  o + "/ctx-popen\") if p then p:close() end\n" + lua_escapes +
                                  "context(\"Done.\")\n\\stopluacode\n\\stoptext\n";

  const std::tuple<const char*, const char*, std::string> runs[] = {
      {"agent-lualatex", "lua", lualatex_doc},
      {"agent-pdflatex", "openin-pdf", openin_doc},
      {"agent-xelatex", "openin-xe", openin_doc},
      {"agent-context", "ctx", context_doc},
  };
  for (const auto& [engine, project, doc] : runs) {
    SCOPED_TRACE(engine);
    const auto response =
        compile(project, "main.tex", {{"main.tex", doc}, {"chapter.tex", "original"}}, engine);
    ASSERT_EQ(response.status, 200u) << response.body.substr(0, 300);
    const std::string log(response.json().at("log").as_string());
    EXPECT_EQ(response.json().at("success"), true) << log;
    for (const std::string& leak :
         {std::string("TOPSECRET"), std::string("OTHER-PROJECT"), devices.substr(0, 40)})
      EXPECT_EQ(response.body.find(leak), std::string::npos) << leak << "\n" << log;
    EXPECT_EQ(snapshot(outside), before);
  }
  // ConTeXt's own sandbox refuses to run programs even where the file system would allow them.
  EXPECT_FALSE(fs::exists(work("ctx") / "ran-inside"));
  expect_blobs_intact();
}

// Confined engines still reach what real projects need: TikZ, a system font through fontspec,
// biber, and LuaLaTeX with a font-name database the agent builds from nothing in a fresh home.
TEST_F(SecurityTest, RealProjectsStillCompileConfined) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live; nothing is confined on Windows";
  agent_.unset_env("TEXMFVAR");
  agent_.unset_env("VELLORA_FONT_CACHE");
  start();
  const std::string tikz =
      "\\documentclass{article}\n\\usepackage{tikz}\n\\begin{document}\n"
      "\\tikz \\draw[->] (0,0) -- (1,1) node[right] {TikZ};\n\\end{document}\n";
  const std::string fontspec =
      "\\documentclass{article}\n\\usepackage{fontspec}\n\\setmainfont{DejaVu Sans}\n"
      "\\begin{document}\nSystem font: \u00e9\u00e8\u0416.\n\\end{document}\n";
  const std::string biblatex =
      "\\documentclass{article}\n\\usepackage[backend=biber]{biblatex}\n"
      "\\addbibresource{refs.bib}\n\\begin{document}\nHello \\cite{knuth}.\n"
      "\\printbibliography\n\\end{document}\n";
  const std::tuple<const char*, const char*, std::string> runs[] = {
      {"agent-pdflatex", "tikz", tikz},
      {"agent-pdflatex", "biber", biblatex},
      {"agent-xelatex", "font-xe", fontspec},
      {"agent-lualatex", "font-lua", fontspec},
  };
  for (const auto& [engine, project, doc] : runs) {
    const auto response = compile(
        project, "main.tex",
        {{"main.tex", doc},
         {"refs.bib", "@book{knuth, author={Donald Knuth}, title={The TeXbook}, year={1984}}\n"}},
        engine);
    ASSERT_EQ(response.status, 200u) << engine;
    EXPECT_EQ(response.json().at("success"), true) << engine << "\n"
                                                   << response.json().at("log").as_string();
  }
  EXPECT_FALSE(fs::is_empty(agent_.cache_dir() / "tex-fonts/luatex-cache/generic/names"));
  // The user's own TeX caches are read, never written.
  EXPECT_FALSE(fs::exists(agent_.home() / ".texlive2022"));
}

// A project that writes into every TeX tree and cache it can name, planting a class and a
// font-generation script: no compile of another project in any engine, and no TeX the user runs
// outside the agent, may load what it left.
TEST_F(SecurityTest, NothingOneCompileWritesReachesAnotherOrTheUsersTex) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live";
  const fs::path user_var = agent_.home() / "user-texmf-var";
  agent_.set_env("TEXMFVAR", user_var.string());
  start();
  const std::string plant =
      "local planted = 0\n"
      "local function plant(dir)\n"
      "  if not dir or dir == '' then return end\n"
      "  for d in string.gmatch(dir, '[^:;{},!]+') do\n"
      "    for _, sub in ipairs({'/tex/latex/', '/tex/latex/base/', '/web2c/', '/'}) do\n"
      "      lfs.mkdir(d) lfs.mkdir(d .. '/tex') lfs.mkdir(d .. '/tex/latex') lfs.mkdir(d .. "
      "'/tex/latex/base') lfs.mkdir(d .. '/web2c')\n"
      "      local f = io.open(d .. sub .. 'article.cls', 'w')\n"
      "      if f then f:write('\\\\typeout{PLANTED-CLASS}\\\\errmessage{PLANTED-CLASS}') "
      "f:close() planted = planted + 1 end\n"
      "      local g = io.open(d .. sub .. 'mktex.cnf', 'w')\n"
      "      if g then g:write('touch /tmp/planted-mktex') g:close() end\n"
      "    end\n"
      "  end\n"
      "end\n"
      "for _, v in ipairs({'TEXMFVAR', 'TEXMFHOME', 'TEXMFCONFIG', 'TEXMFCACHE', 'VARTEXFONTS', "
      "'TEXMFSYSVAR', 'TEXMFLOCAL', 'TEXMF'}) do plant(kpse.expand_var('$' .. v)) "
      "plant(os.getenv(v)) end\n"
      "plant('" +
      user_var.string() + "') plant('" + (agent_.home() / "texmf").string() +
      "')\n"
      "texio.write_nl('planted in ' .. planted .. ' places')\n";
  const std::string hostile =
      "\\documentclass{minimal}\\begin{document}\\directlua{" + plant + "}Done.\\end{document}\n";
  const auto planted = compile("hostile", "main.tex", {{"main.tex", hostile}}, "agent-lualatex");
  ASSERT_EQ(planted.status, 200u);
  EXPECT_EQ(planted.json().at("success"), true) << planted.json().at("log").as_string();

  const std::string clean =
      "\\documentclass{article}\n\\begin{document}\nClean document.\n\\end{document}\n";
  for (const char* engine : {"agent-pdflatex", "agent-xelatex", "agent-lualatex"}) {
    SCOPED_TRACE(engine);
    const auto response =
        compile(std::string("victim-") + engine, "main.tex", {{"main.tex", clean}}, engine);
    ASSERT_EQ(response.status, 200u);
    const std::string log(response.json().at("log").as_string());
    EXPECT_EQ(response.json().at("success"), true) << log;
    EXPECT_EQ(log.find("PLANTED"), std::string::npos) << log;
  }
  // The user's own TeX, outside the agent, with the user's environment.
  test::TempDir outside;
  write_file(outside.path() / "mine.tex", clean);
  platform::Command command;
  command.program = "pdflatex";
  command.args = {"-interaction=nonstopmode", "mine.tex"};
  command.cwd = outside.path();
  command.env = {{"HOME", agent_.home().string()}, {"TEXMFVAR", user_var.string()}};
  command.capture_output = true;
  const auto user_run = platform::run(command);
  ASSERT_TRUE(user_run);
  EXPECT_EQ(user_run->out.find("PLANTED"), std::string::npos) << user_run->out;
  EXPECT_FALSE(fs::exists("/tmp/planted-mktex"));
}

// LuaTeX's ffi would let a document call C functions: absent in every Lua engine, and the
// agent's own variables (tokens, the session bus, an ssh-agent) never reach a document.
TEST_F(SecurityTest, DocumentsHaveNoFfiAndSeeOnlyTheAllowedEnvironment) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live and ConTeXt";
  agent_.set_env("MY_API_TOKEN", "TOKEN-0123");
  agent_.set_env("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/0/bus");
  agent_.set_env("SSH_AUTH_SOCK", "/tmp/ssh-agent.sock");
  agent_.set_env("DISPLAY", ":0");
  start();
  const std::string probe =
      "texio.write_nl('log', 'PROBE ffi=' .. tostring(ffi) .. ' token=' .. "
      "tostring(os.getenv('MY_API_TOKEN')) .. ' bus=' .. "
      "tostring(os.getenv('DBUS_SESSION_BUS_ADDRESS')) .. ' ssh=' .. "
      "tostring(os.getenv('SSH_AUTH_SOCK')) .. ' display=' .. tostring(os.getenv('DISPLAY')) .. "
      "' home=' .. (os.getenv('HOME') and 'set' or 'unset'))\n";
  const std::tuple<const char*, std::string> runs[] = {
      {"agent-lualatex",
       "\\documentclass{article}\\begin{document}\\directlua{" + probe + "}Done.\\end{document}\n"},
      {"agent-context",
       "\\starttext\n\\startluacode\n" + probe + "\\stopluacode\nDone.\n\\stoptext\n"},
  };
  for (const auto& [engine, doc] : runs) {
    SCOPED_TRACE(engine);
    const auto response =
        compile(std::string("probe-") + engine, "main.tex", {{"main.tex", doc}}, engine);
    ASSERT_EQ(response.status, 200u);
    const std::string log(response.json().at("log").as_string());
    EXPECT_EQ(response.json().at("success"), true) << log;
    EXPECT_NE(log.find("PROBE ffi=nil token=nil bus=nil ssh=nil display=nil home=set"),
              std::string::npos)
        << log;
  }
}

// A document that allocates more than a run may gets a failed compile; the agent answers on.
TEST_F(SecurityTest, ARunThatAllocatesTooMuchFailsAlone) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live; no memory limit on Windows";
  agent_.set_env("VELLORA_COMPILE_MEMORY_MB", "512");
  start();
  const std::string greedy =
      "\\documentclass{article}\\begin{document}\\directlua{local t = {} for i = 1, 64 do "
      "t[i] = string.rep(tostring(i), 16 * 1024 * 1024) end}Done.\\end{document}\n";
  const auto response = compile("greedy", "main.tex", {{"main.tex", greedy}}, "agent-lualatex");
  ASSERT_EQ(response.status, 200u);
  EXPECT_EQ(response.json().at("success"), false);
  EXPECT_EQ(agent_.get("/v1/status").status, 200u);
  expect_blobs_intact();
}

// A document that writes a huge log, or a huge PDF, gets a bounded reply and the agent lives on.
TEST_F(SecurityTest, HugeLogAndOutputsAreBounded) {
  write_fake(agent_.bin(), "tectonic",
             {"[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
              "{ echo LOG-START; head -c 30000000 /dev/zero | tr '\\0' x; echo; echo LOG-END; } "
              "> _out/main.log\n"
              "printf '%%PDF-1.5' > _out/main.pdf\ntruncate -s 210M _out/main.pdf\n",
              "if \"%~1\"==\"--version\" (\n  echo Tectonic 0.15.0\n  exit /b 0\n)\n"
              "\"%~dp0test_helper.exe\" huge _out\n"});
  if (platform::on_windows())
    fs::copy_file(helper_binary(), agent_.bin() / "test_helper.exe",
                  fs::copy_options::overwrite_existing);
  start();
  const auto response = compile("huge", "main.tex", {{"main.tex", "x"}}, "agent-tectonic");
  ASSERT_EQ(response.status, 200u);
  const auto reply = response.json();
  const std::string log(reply.at("log").as_string());
  EXPECT_LT(log.size(), std::size_t{9} << 20);
  EXPECT_TRUE(log.starts_with("LOG-START\n")) << log.substr(0, 100);
  EXPECT_NE(log.find("bytes of the log left out"), std::string::npos);
  EXPECT_NE(log.find("LOG-END"), std::string::npos);
  EXPECT_NE(log.find("The PDF is too large to send (210 MiB"), std::string::npos)
      << log.substr(log.size() - 300);
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_TRUE(reply.at("pdf_base64").is_null());
  EXPECT_EQ(agent_.get("/v1/status", {{"Host", agent_.host()}}).status, 200u);
}

// A project file that cannot be replaced (on Windows: held open by another program; here: made
// immutable) must never be compiled in its old version, now or later.
TEST_F(SecurityTest, FileThatCannotBePlacedIsAnErrorNotStaleSuccess) {
  if (platform::on_windows()) GTEST_SKIP() << "needs TeX Live and chattr";
  start();
  const std::string main =
      "\\documentclass{article}\n\\begin{document}\n\\input{ch}\n\\end{document}\n";
  ASSERT_EQ(
      compile("held", "main.tex", {{"main.tex", main}, {"ch.tex", "Old text."}}, "agent-pdflatex")
          .status,
      200u);
  const fs::path held = work("held") / "ch.tex";
  const auto chattr = [&](const char* flag) {
    platform::Command command;
    command.program = "chattr";
    command.args = {flag, held.string()};
    const auto result = platform::run(command);
    return result && result->success();
  };
  if (!chattr("+i")) GTEST_SKIP() << "this file system cannot make a file immutable";
  struct Release {
    std::function<bool(const char*)> chattr;
    ~Release() { chattr("-i"); }
  } release{chattr};

  const auto refused =
      compile("held", "main.tex", {{"main.tex", main}, {"ch.tex", "New text."}}, "agent-pdflatex");
  EXPECT_EQ(refused.status, 500u) << refused.body.substr(0, 300);
  EXPECT_NE(refused.body.find("\\\"ch.tex\\\""), std::string::npos) << refused.body.substr(0, 300);

  ASSERT_TRUE(chattr("-i"));
  const auto compiled =
      compile("held", "main.tex", {{"main.tex", main}, {"ch.tex", "New text."}}, "agent-pdflatex");
  ASSERT_EQ(compiled.status, 200u);
  EXPECT_EQ(compiled.json().at("success"), true);
  EXPECT_EQ(read_text(held), "New text.");
}

// Windows cannot hold some names Linux can; each build refuses exactly what it cannot store.
TEST_F(SecurityTest, PathsTheSystemCannotStoreAreRefusedThere) {
  start();
  const Files cases[] = {{{"main.tex", HELLO}, {"Main.tex", "other"}},
                         {{"main.tex", HELLO}, {"a|b.tex", "x"}},
                         {{"main.tex", HELLO}, {"aux.tex", "x"}},
                         {{"main.tex", HELLO}, {"notes.", "x"}}};
  for (const Files& files : cases) {
    const std::string& path = files[1].first;
    const auto prepare = agent_.post_auth(
        "/v1/prepare", json::serialize(json::object{{"files", agent_.upload(token_, files)}}),
        token_);
    const auto compiled = compile("unstorable", "main.tex", files, "agent-pdflatex");
    for (const HttpResponse* response : {&prepare, &compiled}) {
      if (platform::on_windows()) {
        EXPECT_EQ(response->status, 400u) << path;
        EXPECT_NE(response->body.find(path), std::string::npos) << response->body;
      } else {
        EXPECT_EQ(response->status, 200u) << path << response->body.substr(0, 200);
      }
    }
  }
}

}  // namespace
}  // namespace vellora::test
