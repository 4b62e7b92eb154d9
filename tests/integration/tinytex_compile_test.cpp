// A TinyTeX installed through the real installer path (fake curl, real tar and xz) whose programs
// are this machine's TeX Live, then a compile over HTTP that runs them from ~/.TinyTeX.

#include <gtest/gtest.h>

#include <sstream>

#include "common/base64.h"
#include "harness.h"
#include "tinytex/tinytex.h"
#include "toolchain/engines.h"
#include "toolchain/search.h"

namespace vellora::test {
namespace {

TEST(TinyTex, InstalledTreeCompilesThroughTheAgent) {
  Agent agent;
  TempDir work;
  const fs::path target = agent.home() / ".TinyTeX";
  const fs::path texbin = work.path() / "tree/.TinyTeX/bin/x86_64-linux";
  fs::create_directories(texbin);
  for (const char* program : {"pdflatex", "latexmk", "kpsewhich"})
    fs::create_symlink(fs::path("/usr/bin") / program, texbin / program);
  write_script(texbin / "tlmgr", "exit 0\n");
  const fs::path package = work.path() / "package.tar.xz";
  platform::Command tar;
  tar.program = "/usr/bin/tar";
  tar.args = {"-cJf", package.string(), "-C", (work.path() / "tree").string(), ".TinyTeX"};
  ASSERT_TRUE(platform::run(tar)->success());
  const std::string name = "TinyTeX-1-linux-x86_64-v2025.01.tar.xz";
  write_file(
      work.path() / "release.json",
      json::serialize(json::object{
          {"tag_name", "v2025.01"},
          {"assets",
           json::array{json::object{
               {"name", name},
               {"digest", "sha256:" + sha256_of(read_text(package))},
               {"browser_download_url",
                "https://github.com/rstudio/tinytex-releases/releases/download/" + name}}}}}));
  write_script(work.path() / "bin/curl",
               "out=; prev=\nfor a in \"$@\"; do [ \"$prev\" = -o ] && out=$a; prev=$a; done\n"
               "if [ -n \"$out\" ]; then cp '" +
                   package.string() +
                   "' \"$out\"\n"
                   "else cat '" +
                   (work.path() / "release.json").string() + "'; fi\n");

  ScopedEnv path("PATH", (work.path() / "bin").string() + ":/usr/bin:/bin");
  ScopedEnv cache("XDG_CACHE_HOME", (work.path() / "cache").string());
  std::ostringstream out;
  const TinyTexDialogue dialogue{
      .confirm = [](const std::string&) -> std::expected<bool, std::string> { return true; },
      // Discovery restricted to the new tree: this machine's own TeX Live stays out of sight.
      .engine_names =
          [&] {
            std::vector<fs::path> dirs;
            std::error_code ec;
            for (fs::directory_iterator it(target / "bin", ec), end; !ec && it != end;
                 it.increment(ec))
              dirs.push_back(it->path());
            std::vector<std::string> names;
            for (const auto& e : detect_engines_with(
                     [&](const std::string& n) { return find_program_in(dirs, n); }))
              names.emplace_back(e.name);
            return names;
          },
      .program_available = [](const std::string&) { return true; },
      .out = &out,
  };
  const auto installed = install_tinytex_with(agent.home(), tinytex_system(), dialogue);
  ASSERT_TRUE(installed) << installed.error() << out.str();
  ASSERT_TRUE(fs::is_symlink(target / "bin/x86_64-linux/pdflatex"));

  // The TinyTeX directory comes first on the agent's PATH, as a fresh installation would be found.
  agent.set_env("PATH", (target / "bin/x86_64-linux").string() + ":" + agent.bin().string() +
                            ":/usr/bin:/bin");
  ASSERT_TRUE(agent.start()) << agent.errors();
  const std::string token = agent.pair();
  json::object body;
  body["project"] = "tinytex";
  body["mainFile"] = "main.tex";
  body["files"] = agent.upload(
      token, {{"main.tex", "\\documentclass{article}\\begin{document}TinyTeX\\end{document}\n"}});
  body["engine"] = "agent-pdflatex";
  const auto reply = agent.post_auth("/v1/compile", json::serialize(body), token);
  ASSERT_EQ(reply.status, 200u) << reply.body.substr(0, 500);
  const auto result = reply.json();
  ASSERT_EQ(result.at("success"), true) << result.at("log").as_string();
  EXPECT_TRUE(base64_decode(result.at("pdf_base64").as_string())->starts_with("%PDF"));
}

}  // namespace
}  // namespace vellora::test
