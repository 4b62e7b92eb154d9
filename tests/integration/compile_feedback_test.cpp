// What a compile tells beyond its PDF, with real pdfLaTeX: diagnostics placed in the project's
// files, and SyncTeX both ways.

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "common/gzip.h"
#include "harness.h"

namespace vellora::test {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const Files PROJECT = {
    {"main.tex",
     "\\documentclass{article}\n\\begin{document}\nSee \\ref{nowhere}.\n\n"
     "\\hbox to 10pt{This line is far too wide for its box}\n\n\\input{chap/intro}\n"
     "\\end{document}\n"},
    {"chap/intro.tex", "Intro text.\n\\undefinedmacro\nMore.\n"},
};

const Files TWO_PAGES = {
    {"main.tex",
     "\\documentclass{article}\n\\begin{document}\nFirst paragraph line.\n\nSecond paragraph "
     "here.\n\\newpage\nThird on page two.\n\\end{document}\n"},
};

class CompileFeedbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  json::value compile(const std::string& project, const Files& files,
                      std::optional<bool> diagnostics) {
    json::object body{{"project", project},
                      {"mainFile", "main.tex"},
                      {"files", agent_.upload(token_, files)},
                      {"engine", "agent-pdflatex"},
                      {"installMissing", false}};
    if (diagnostics) body["diagnostics"] = *diagnostics;
    const auto response = agent_.post_auth("/v1/compile", json::serialize(body), token_);
    EXPECT_EQ(response.status, 200u) << response.body.substr(0, 500);
    return response.json();
  }
  HttpResponse synctex(const std::string& body) {
    return agent_.post_auth("/v1/synctex", body, token_);
  }
  Agent agent_;
  std::string token_;
};

TEST_F(CompileFeedbackTest, DiagnosticsOnlyWhenAskedAndPlacedInTheProject) {
  const json::value reply = compile("diag", PROJECT, true);
  EXPECT_EQ(reply.at("success"), false);
  const json::array& found = reply.at("diagnostics").as_array();
  const auto has = [&](const char* file, std::int64_t line, const char* level, const char* text) {
    for (const auto& d : found)
      if (d.at("file") == file && d.at("line") == line && d.at("level") == level &&
          std::string(d.at("message").as_string()).find(text) != std::string::npos)
        return true;
    return false;
  };
  EXPECT_TRUE(has("chap/intro.tex", 2, "error", "Undefined control sequence"))
      << json::serialize(found);
  EXPECT_TRUE(has("main.tex", 3, "warning", "Reference `nowhere'")) << json::serialize(found);
  EXPECT_TRUE(has("main.tex", 5, "badbox", "Overfull \\hbox")) << json::serialize(found);
  // Without the field, or with anything but true, the reply is as it always was.
  for (const std::optional<bool> asked : {std::optional<bool>(), std::optional<bool>(false)})
    EXPECT_FALSE(compile("diag", PROJECT, asked).as_object().contains("diagnostics"));
}

TEST_F(CompileFeedbackTest, SynctexForwardThenReverseComesBackToTheLine) {
  EXPECT_EQ(synctex(R"({"project":"sync","forward":{"file":"main.tex","line":3}})").status, 404u);
  ASSERT_EQ(compile("sync", TWO_PAGES, std::nullopt).at("success"), true);
  for (const int line : {3, 5, 7}) {
    const auto forward = synctex(R"({"project":"sync","forward":{"file":"main.tex","line":)" +
                                 std::to_string(line) + "}}");
    ASSERT_EQ(forward.status, 200u) << forward.body;
    const json::value box = forward.json();
    EXPECT_EQ(box.at("page"), line == 7 ? 2 : 1);
    const double x = box.at("x").to_number<double>() + 30;
    const double y = box.at("y").to_number<double>() + box.at("height").to_number<double>() / 2;
    const auto reverse =
        synctex(R"({"project":"sync","reverse":{"page":)" + json::serialize(box.at("page")) +
                R"(,"x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) + "}}");
    ASSERT_EQ(reverse.status, 200u) << reverse.body;
    EXPECT_EQ(reverse.json(), json::parse(R"({"column":null,"file":"main.tex","line":)" +
                                          std::to_string(line) + "}"));
  }
  const std::pair<std::string, unsigned> errors[] = {
      {R"({"project":"sync","forward":{"file":"other.tex","line":1}})", 404},
      {R"({"project":"sync","reverse":{"page":9,"x":1,"y":1}})", 404},
      {R"({"project":"sync","forward":{"file":"main.tex"}})", 400},
      {R"({"project":"sync"})", 400},
      {R"({"project":"../x","forward":{"file":"main.tex","line":1}})", 400},
      // Numbers no document has are refused before any conversion.
      {R"({"project":"sync","forward":{"file":"main.tex","line":1e300}})", 400},
      {R"({"project":"sync","forward":{"file":"main.tex","line":-1e300}})", 400},
      {R"({"project":"sync","reverse":{"page":1e300,"x":1,"y":1}})", 400},
      {R"({"project":"sync","reverse":{"page":1,"x":1e300,"y":1}})", 400},
      {R"({"project":"sync","reverse":{"page":1,"x":1,"y":-1e300}})", 400},
  };
  for (const auto& [body, status] : errors) EXPECT_EQ(synctex(body).status, status) << body;
}

// A document may leave any SyncTeX file behind: one whose unit makes every coordinate infinite is
// reported as damaged, never answered with Infinity or NaN.
TEST_F(CompileFeedbackTest, SynctexFileWithNumbersBeyondAnyPageIsAnError) {
  ASSERT_EQ(compile("sync", TWO_PAGES, std::nullopt).at("success"), true);
  const auto file = agent_.cache_dir() / "work" / "sync" / "_out" / "main.synctex.gz";
  const std::string packed = read_text(file);
  auto text = gunzip(packed, 64 << 20);
  ASSERT_TRUE(text) << text.error();
  const auto unit = text->find("Unit:1\n");
  ASSERT_NE(unit, std::string::npos);
  text->replace(unit, 7, "Unit:1e308\n");
  std::string hostile(compressBound(static_cast<uLong>(text->size())) + 64, '\0');
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(text->data());
  stream.avail_in = static_cast<uInt>(text->size());
  stream.next_out = reinterpret_cast<Bytef*>(hostile.data());
  stream.avail_out = static_cast<uInt>(hostile.size());
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  hostile.resize(stream.total_out);
  deflateEnd(&stream);
  std::filesystem::remove(file);
  write_file(file, hostile);
  const auto forward = synctex(R"({"project":"sync","forward":{"file":"main.tex","line":3}})");
  EXPECT_EQ(forward.status, 500u) << forward.body;
  EXPECT_EQ(forward.body, R"({"error":"the SyncTeX file is damaged"})");
}

}  // namespace
}  // namespace vellora::test
