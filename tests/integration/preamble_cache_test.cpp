// The preamble kept as a format: real documents compiled with it give the pages they give
// without it, and any change to what the preamble read sends the compile the normal way.

#include <gtest/gtest.h>

#include <thread>

#include "common/base64.h"
#include "harness.h"

namespace vellora::test {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string USED = "The preamble was loaded from the format the agent saved for it.";
const std::string NOT_USED = "The format saved for the preamble could not be used";

std::string run_tool(const std::string& program, const std::vector<std::string>& args) {
  platform::Command command;
  command.program = program;
  command.args = args;
  command.capture_output = true;
  const auto result = platform::run(command);
  if (!result || !result->success()) return "(" + program + " failed)";
  return result->out;
}

int pdf_pages(const fs::path& pdf) {
  const std::string info = run_tool("pdfinfo", {pdf.string()});
  const auto at = info.find("Pages:");
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 6));
}

// Every page at 50 dpi, as the bytes of its image.
std::vector<std::string> page_pixels(const fs::path& pdf) {
  const fs::path dir = pdf.parent_path() / (pdf.stem().string() + "-pages");
  fs::create_directories(dir);
  run_tool("pdftoppm", {"-r", "50", pdf.string(), (dir / "page").string()});
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> pages;
  for (const auto& file : files) pages.push_back(read_text(file));
  return pages;
}

class PreambleCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_.set_env("VELLORA_PREAMBLE_CACHE", "wait");
    for (const auto& [name, value] : env_) agent_.set_env(name, value);
    if (env_.contains("VELLORA_PREAMBLE_CACHE") && env_["VELLORA_PREAMBLE_CACHE"].empty())
      agent_.unset_env("VELLORA_PREAMBLE_CACHE");
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }

  json::value compile(const Files& files, const std::string& main = "main.tex",
                      const std::string& engine = "agent-pdflatex",
                      const std::string& project = "p") {
    const auto response = agent_.post_auth(
        "/v1/compile", compile_body(project, main, agent_.upload(token_, files), engine), token_);
    EXPECT_EQ(response.status, 200u) << response.body.substr(0, 300);
    const json::value reply = response.json();
    EXPECT_EQ(reply.at("success"), true) << reply.at("log").as_string().c_str();
    return reply;
  }

  // The same document with a longer comment after its end: latexmk runs the engine again (for an
  // unchanged project it would only say that it has nothing to do, and it takes a file of the
  // same size and second for unchanged).
  // `same_main`: the main file exactly as the last compile sent it.
  json::value compile_again(Files files, bool same_main = false) {
    for (auto& [path, content] : files)
      if (path == "main.tex")
        content =
            same_main ? last_main_ : last_main_ = content + std::string(++compiles_, '%') + "\n";
    return compile(files);
  }

  fs::path save_pdf(const json::value& reply, const std::string& name) {
    const fs::path pdf = out_.path() / (name + ".pdf");
    write_file(pdf, base64_decode(reply.at("pdf_base64").as_string()).value_or(""));
    return pdf;
  }

  json::value forward(int line, const std::string& file = "main.tex") {
    const auto response = agent_.post_auth("/v1/synctex",
                                           R"({"project":"p","forward":{"file":")" + file +
                                               R"(","line":)" + std::to_string(line) + "}}",
                                           token_);
    EXPECT_EQ(response.status, 200u) << response.body;
    return response.json();
  }

  // The records of the project's formats, to show why one is missing.
  std::string records() const {
    std::string text;
    for (const auto& record : files_in(formats(), ".json")) text += read_text(record) + "\n";
    return text;
  }
  fs::path formats() const { return agent_.cache_dir() / "formats" / "p"; }
  std::vector<fs::path> files_in(const fs::path& dir, const std::string& extension) const {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
      if (entry.path().extension() == extension) found.push_back(entry.path());
    return found;
  }

  std::map<std::string, std::string> env_;
  int compiles_ = 0;
  std::string last_main_;
  Agent agent_;
  std::string token_;
  TempDir out_;
};

bool has(const json::value& reply, const std::string& text) {
  return std::string(reply.at("log").as_string()).find(text) != std::string::npos;
}

struct Case {
  const char* name;
  std::string main_file;
  Files files;
  int body_line;  // a line of the main file's body that SyncTeX finds
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::vector<Case> cases() {
  return {
      {"TikzAndPgfplots",
       "main.tex",
       {{"main.tex",
         "\\documentclass{article}\n\\usepackage{tikz}\n\\usepackage{pgfplots}\n"
         "\\pgfplotsset{compat=1.18}\n\\usetikzlibrary{arrows.meta,positioning}\n"
         "\\usepackage[colorlinks]{hyperref}\n"
         "\\begin{document}\nA plot of $x^2$ with an arrow, \\href{https://example.org}{a "
         "link}:\n\n"
         "\\begin{tikzpicture}\\begin{axis}[width=6cm]\\addplot{x^2};\\end{axis}"
         "\\draw[-Stealth] (0,0) -- (2,1) node[right]{arrow};\\end{tikzpicture}\n"
         "\\end{document}\n"}},
       8},
      {"Beamer",
       "slides.tex",
       {{"slides.tex",
         "\\documentclass{beamer}\n\\usetheme{Madrid}\n\\title{Ducks}\\author{A. Author}\n"
         "\\begin{document}\n\\begin{frame}\\titlepage\\end{frame}\n"
         "\\begin{frame}{Facts}\\begin{itemize}\\item<1-> Webbed feet\\item<2-> Waterproof"
         "\\end{itemize}\\end{frame}\n\\end{document}\n"}},
       6},
      {"BiblatexWithBiber",
       "main.tex",
       {{"main.tex",
         "\\documentclass{article}\n\\usepackage[backend=biber,style=authoryear]{biblatex}\n"
         "\\addbibresource{refs.bib}\n\\begin{document}\nAs \\textcite{knuth} shows.\n"
         "\\printbibliography\n\\end{document}\n"},
        {"refs.bib",
         "@book{knuth, author={Donald Knuth}, title={The TeXbook}, year={1984}, "
         "publisher={Addison-Wesley}}\n"}},
       5},
      {"IncludesFromAFolderWithAnInputPreamble",
       "main.tex",
       {{"main.tex",
         "\\documentclass{report}\n\\input{setup/preamble}\n\\begin{document}\n\\tableofcontents\n"
         "\\include{chapters/one}\n\\include{chapters/two}\n\\end{document}\n"},
        {"setup/preamble.tex", "\\usepackage{amsmath}\n\\newcommand\\duck{\\textbf{Duck}}\n"},
        {"chapters/one.tex", "\\chapter{One}\n\\duck{} one, see chapter~\\ref{two}.\n"},
        {"chapters/two.tex", "\\chapter{Two}\\label{two}\n\\duck{} two: $\\sum_i i$.\n"}},
       4},
  };
}

class PreambleSamePagesTest : public PreambleCacheTest,
                              public ::testing::WithParamInterface<Case> {};

// The compile that dumps is the one without the format; the next one starts from it.
TEST_P(PreambleSamePagesTest, SamePagesWithTheFormatAsWithout) {
  const Case& c = GetParam();
  const json::value without = compile(c.files, c.main_file);
  EXPECT_FALSE(has(without, USED));
  const json::value box_without = forward(c.body_line, c.main_file);
  EXPECT_EQ(files_in(formats(), ".fmt").size(), 1u) << records();
  // Among what it was made from: the TeX tree's file database, which a package installed later
  // changes.
  EXPECT_NE(records().find("/ls-R\""), std::string::npos) << records();
  // Kept expanded: a run from it does not spend its start decompressing it.
  for (const fs::path& format : files_in(formats(), ".fmt"))
    EXPECT_FALSE(read_text(format).starts_with("\x1f\x8b"));

  // A comment after the end of the document: latexmk runs again, the pages stay the same.
  Files edited = c.files;
  for (auto& [path, content] : edited)
    if (path == c.main_file) content += "% edited\n";
  const json::value with = compile(edited, c.main_file);
  EXPECT_TRUE(has(with, USED)) << with.at("log").as_string().c_str();
  EXPECT_FALSE(has(with, NOT_USED));
  const fs::path a = save_pdf(without, "without"), b = save_pdf(with, "with");
  EXPECT_GT(pdf_pages(a), 0);
  EXPECT_EQ(pdf_pages(a), pdf_pages(b));
  const auto pages_a = page_pixels(a), pages_b = page_pixels(b);
  ASSERT_EQ(pages_a.size(), pages_b.size());
  for (std::size_t i = 0; i < pages_a.size(); ++i) EXPECT_TRUE(pages_a[i] == pages_b[i]) << i;
  // The body's lines are where they were: the format's run still counts the preamble's lines.
  EXPECT_EQ(forward(c.body_line, c.main_file), box_without);
}

INSTANTIATE_TEST_SUITE_P(RealDocuments, PreambleSamePagesTest, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

const std::string STYLED_MAIN =
    "\\documentclass{article}\n\\usepackage{mystyle}\n\\input{setup}\n"
    "\\newcommand\\third{THIRDWORD}\n\\begin{document}\n\\first{} \\second{} \\third\n"
    "\\end{document}\n";

Files styled(const std::string& first, const std::string& second, const std::string& third) {
  std::string main = STYLED_MAIN;
  main.replace(main.find("THIRDWORD"), 9, third);
  return {{"main.tex", main},
          {"mystyle.sty", "\\newcommand\\first{" + first + "}\n"},
          {"setup.tex", "\\newcommand\\second{" + second + "}\n"}};
}

std::string text_of(const fs::path& pdf) {
  return run_tool("pdftotext", {pdf.string(), "-"});
}

// An edit to the main file's preamble, to a file it \inputs or to a package of the project: the
// next compile does not start from the old format (its words show), and dumps a new one.
TEST_F(PreambleCacheTest, AnEditToWhatThePreambleReadInvalidatesTheFormat) {
  compile_again(styled("Alpha", "Beta", "Gamma"));
  ASSERT_TRUE(has(compile_again(styled("Alpha", "Beta", "Gamma")), USED));
  // Only the file edited changes: after a run from the format, latexmk has no record of the files
  // its preamble read.
  const std::tuple<const char*, Files, std::string, bool> edits[] = {
      {"main file's preamble", styled("Alpha", "Beta", "Delta"), "Delta", false},
      {"input file", styled("Alpha", "Epsilon", "Delta"), "Epsilon", true},
      {"project package", styled("Zeta", "Epsilon", "Delta"), "Zeta", true},
  };
  for (const auto& [what, files, word, same_main] : edits) {
    const json::value edited = compile_again(files, same_main);
    EXPECT_FALSE(has(edited, USED)) << what;
    EXPECT_NE(text_of(save_pdf(edited, "edited")).find(word), std::string::npos)
        << what << edited.at("log").as_string().c_str();
    const json::value again = compile_again(files);
    EXPECT_TRUE(has(again, USED)) << what;
    EXPECT_NE(text_of(save_pdf(again, "again")).find(word), std::string::npos) << what;
  }
  // A file of the project that shadows one the preamble read from the TeX tree.
  Files shadowed = std::get<1>(edits[2]);
  shadowed.emplace_back("article.cls", "\\input{size10.clo}\\errmessage{the project's class}\n");
  const std::string body =
      compile_body("p", "main.tex", agent_.upload(token_, shadowed), "agent-pdflatex");
  const json::value reply = agent_.post_auth("/v1/compile", body, token_).json();
  EXPECT_EQ(reply.at("success"), false);
  EXPECT_FALSE(has(reply, USED));
  EXPECT_TRUE(has(reply, "the project's class")) << reply.at("log").as_string().c_str();
}

// A format that fails where the document compiles without it: the same request compiles it
// normally, says so once, and the format is not tried again.
TEST_F(PreambleCacheTest, AFormatThatFailsIsFollowedByTheNormalCompile) {
  const Files files = styled("Alpha", "Beta", "Gamma");
  const json::value first = compile_again(files);
  const auto formats_made = files_in(formats(), ".fmt");
  ASSERT_EQ(formats_made.size(), 1u);
  write_file(formats_made[0], "not a format");
  const json::value fallback = compile_again(files);
  EXPECT_TRUE(has(fallback, NOT_USED)) << fallback.at("log").as_string().c_str();
  EXPECT_EQ(page_pixels(save_pdf(first, "first")), page_pixels(save_pdf(fallback, "fallback")));
  EXPECT_TRUE(files_in(formats(), ".fmt").empty());
  const json::value later = compile_again(files);
  EXPECT_FALSE(has(later, USED));
  EXPECT_FALSE(has(later, NOT_USED));
  EXPECT_TRUE(files_in(formats(), ".fmt").empty());
}

// A format is its project's alone, and only the agent writes it. A hostile project's compiles
// (pdfLaTeX from its own format, LuaLaTeX's Lua) and its own dumps try to read another project's
// format and record, and to write beside them, beside its own, and in the folder of all formats.
TEST_F(PreambleCacheTest, NoProjectReadsOrWritesAFormatFolder) {
  compile(styled("Alpha", "Beta", "Gamma"));
  ASSERT_EQ(files_in(formats(), ".fmt").size(), 1u) << records();
  const fs::path root = agent_.cache_dir() / "formats";
  const auto victim = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(formats()))
      files[entry.path().filename().string()] = read_text(entry.path());
    return files;
  };
  const auto before = victim();
  const std::string fmt = files_in(formats(), ".fmt")[0].string();
  const std::string record = files_in(formats(), ".json")[0].string();
  const std::string r = root.string();

  // TeX's own reads: the preamble runs in the dump and the first compile, the body in every
  // compile, the second one from the project's own format. (TeX refuses to write outside the
  // output folder at all: a compile that tries fails.)
  const std::string tex_attempts = "\\try{" + record + "}\\try{" + fmt + "}\n";
  const std::string tex_hostile =
      "\\documentclass{article}\n\\newread\\r\n"
      "\\def\\try#1{\\openin\\r=#1 \\ifeof\\r\\else\\read\\r to\\x\\typeout{LEAK:\\x}"
      "\\closein\\r\\fi}\n" +
      tex_attempts + "\\begin{document}\n" + tex_attempts + "Hostile.\n\\end{document}\n";
  // Lua's io, which TeX's own restrictions do not cover.
  const std::string lua =
      "for _, p in ipairs({'" + record + "', '" + fmt +
      "'}) do local h = io.open(p, 'rb') if h then texio.write_nl('LEAK:' .. h:read(8)) h:close() "
      "end end\n"
      "for _, p in ipairs({'" +
      fmt + "', '" + r + "/p/planted', '" + r + "/h/planted', '" + r +
      "/planted'}) do local f = io.open(p, 'w') if f then f:write('planted') f:close() end end\n"
      "lfs.mkdir('" +
      r + "/p/new') lfs.mkdir('" + r + "/new') os.remove('" + record + "')\n";
  const std::string lua_hostile = "\\documentclass{article}\n\\begin{document}\n\\directlua{" +
                                  lua + "}Hostile.\n\\end{document}\n";

  std::vector<json::value> replies;
  for (int i = 0; i < 2; ++i)
    replies.push_back(compile({{"main.tex", tex_hostile + std::string(i, '%')}}, "main.tex",
                              "agent-pdflatex", "h"));
  EXPECT_TRUE(has(replies.back(), USED)) << replies.back().at("log").as_string().c_str();
  replies.push_back(compile({{"main.tex", lua_hostile}}, "main.tex", "agent-lualatex", "h"));
  for (const json::value& reply : replies)
    EXPECT_FALSE(has(reply, "LEAK:")) << reply.at("log").as_string().c_str();

  EXPECT_EQ(victim(), before);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(entry.path().parent_path() == root
                    ? name == "p" || name == "h"
                    : name.ends_with(".fmt") || name.ends_with(".json"))
        << entry.path();
  }
  const json::value again = compile_again(styled("Alpha", "Beta", "Gamma"));
  EXPECT_TRUE(has(again, USED)) << again.at("log").as_string().c_str();
}

// XeTeX cannot dump a format holding its native fonts: remembered, so no compile dumps again
// while the preamble stays as it is; a preamble that writes a file is never dumped.
TEST_F(PreambleCacheTest, PreamblesThatCannotBeDumpedAreRememberedOrLeftAlone) {
  const Files files = {{"main.tex",
                        "\\documentclass{article}\n\\usepackage{fontspec}\n\\begin{document}\n"
                        "Native fonts.\n\\end{document}\n"}};
  compile(files, "main.tex", "agent-xelatex");
  const auto records = files_in(formats(), ".json");
  ASSERT_EQ(records.size(), 1u);
  const json::value record = json::parse(read_text(records[0]));
  EXPECT_TRUE(record.at("format").is_null());
  EXPECT_NE(std::string(record.at("reason").as_string()).find("native fonts"), std::string::npos)
      << record;
  const auto written = fs::last_write_time(records[0]);
  EXPECT_FALSE(has(compile(files, "main.tex", "agent-xelatex"), USED));
  EXPECT_EQ(fs::last_write_time(records[0]), written);
  EXPECT_TRUE(files_in(formats(), ".fmt").empty());

  compile({{"main.tex",
            "\\documentclass{article}\n\\begin{filecontents*}{words.tex}\nWritten\n"
            "\\end{filecontents*}\n\\begin{document}\n\\input{words}\n\\end{document}\n"}},
          "main.tex", "agent-pdflatex", "q");
  EXPECT_FALSE(fs::exists(agent_.cache_dir() / "formats" / "q"));
}

class PreambleCacheAsUsersRunItTest : public PreambleCacheTest {
 protected:
  PreambleCacheAsUsersRunItTest() { env_["VELLORA_PREAMBLE_CACHE"] = ""; }
};

// The reply never waits for the dump it starts, and a compile of the project stops that dump
// before the project's files change: it leaves no format behind.
TEST_F(PreambleCacheAsUsersRunItTest, ACompileStopsTheProjectsDump) {
  // A pdflatex whose dumps never end and say where they run.
  write_script(
      agent_.bin() / "pdflatex",
      "case \" $* \" in *\" -ini \"*) echo $$ > \"$TEXMFOUTPUT/dumping\"; exec sleep 600;; esac\n"
      "exec /usr/bin/pdflatex \"$@\"\n");
  const Files files = styled("Alpha", "Beta", "Gamma");
  compile(files);
  fs::path marker;
  for (int i = 0; i < 1200 && marker.empty(); ++i) {
    for (const auto& entry : fs::directory_iterator(formats()))
      if (fs::exists(entry.path() / "dumping")) marker = entry.path() / "dumping";
    if (marker.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(marker.empty()) << "no dump started";
  pid_t dump = 0;
  for (int i = 0; i < 100 && dump == 0; ++i) {
    const std::string text = read_text(marker);
    if (!text.empty())
      dump = static_cast<pid_t>(std::stol(text));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(process_alive(dump));
  compile_again(styled("Alpha", "Beta", "Delta"));
  EXPECT_FALSE(process_alive(dump));
  EXPECT_TRUE(files_in(formats(), ".fmt").empty());
  EXPECT_TRUE(files_in(formats(), ".json").empty());
}

class PreambleCacheBoundTest : public PreambleCacheTest {
 protected:
  PreambleCacheBoundTest() { env_["VELLORA_FORMAT_CACHE_MB"] = "40"; }
};

// Three formats of about 18 MiB (stored expanded) do not fit in 40 MiB: the one used least
// recently goes (a compile from a format counts as its use), and its project dumps a new one at
// its next compile.
TEST_F(PreambleCacheBoundTest, TheLeastRecentlyUsedFormatsGoFirst) {
  const Files files = styled("Alpha", "Beta", "Gamma");
  const auto formats_of = [&](const char* project) {
    return files_in(agent_.cache_dir() / "formats" / project, ".fmt").size();
  };
  compile(files, "main.tex", "agent-pdflatex", "a");
  compile(files, "main.tex", "agent-pdflatex", "b");
  ASSERT_EQ(formats_of("a") + formats_of("b"), 2u) << records();
  Files edited = files;
  edited[0].second += "% edited\n";
  EXPECT_TRUE(has(compile(edited, "main.tex", "agent-pdflatex", "a"), USED));
  compile(files, "main.tex", "agent-pdflatex", "c");
  EXPECT_EQ(formats_of("a"), 1u);
  EXPECT_EQ(formats_of("b"), 0u);
  EXPECT_EQ(formats_of("c"), 1u);
  EXPECT_FALSE(has(compile(files, "main.tex", "agent-pdflatex", "b"), USED));
  EXPECT_EQ(formats_of("a"), 0u);
  EXPECT_EQ(formats_of("b"), 1u);
  EXPECT_EQ(formats_of("c"), 1u);
}

class PreambleCacheTinyBoundTest : public PreambleCacheTest {
 protected:
  PreambleCacheTinyBoundTest() { env_["VELLORA_FORMAT_CACHE_MB"] = "5"; }
};

// A format larger than the whole cache (about 18 MiB expanded, against 5 MiB) is never stored:
// the preamble is remembered with the reason, and the document compiles as before.
TEST_F(PreambleCacheTinyBoundTest, AFormatLargerThanTheCacheIsNotKept) {
  const Files files = styled("Alpha", "Beta", "Gamma");
  compile_again(files);
  EXPECT_TRUE(files_in(formats(), ".fmt").empty());
  EXPECT_NE(records().find("larger than the cache's limit"), std::string::npos) << records();
  EXPECT_FALSE(has(compile_again(files), USED));
}

}  // namespace
}  // namespace vellora::test
