// The TinyTeX installer against a fake curl that answers from fixture files: a release
// description and a small real .tar.xz holding a TinyTeX with fake tlmgr and pdflatex.

#include "tinytex/tinytex.h"

#include <gtest/gtest.h>

#include <sstream>

#include "harness.h"
#include "toolchain/engines.h"
#include "toolchain/search.h"

namespace vellora {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::write_file;
using test::write_script;

const std::string HEX(64, 'c');

TinyTexSystem linux_x86() {
  return TinyTexSystem{.label = "Linux",
                       .architecture = "x86_64",
                       .word = "linux-x86_64",
                       .extension = ".tar.xz",
                       .root_name = ".TinyTeX",
                       .identifiers = {"debian"},
                       .unpack_tools = {"tar", "xz"}};
}

json::value release_with(const json::object& asset) {
  json::object a = asset;
  json::object r{{"tag_name", "v2025.01"},
                 {"assets", json::array{json::object{{"name", "other"}}, a}}};
  return r;
}

TEST(TinyTexPackage, ChoiceFromTheReleaseDescription) {
  const std::string name = "TinyTeX-1-linux-x86_64-v2025.01.tar.xz";
  const std::string url =
      "https://github.com/rstudio/tinytex-releases/releases/download/v2025.01/" + name;
  const json::object good{{"name", name},
                          {"digest", "sha256:" + std::string(64, 'A')},
                          {"browser_download_url", url},
                          {"size", 123456789}};
  const auto chosen = choose_package(release_with(good), linux_x86());
  ASSERT_TRUE(chosen) << chosen.error();
  EXPECT_EQ(chosen->tag, "v2025.01");
  EXPECT_EQ(chosen->name, name);
  EXPECT_EQ(chosen->url, url);
  EXPECT_EQ(chosen->sha256, std::string(64, 'a'));
  EXPECT_EQ(chosen->size, 123456789u);

  const auto with = [&](const char* key, json::value value) {
    json::object a = good;
    if (value.is_null()) {
      a.erase(key);
    } else {
      a[key] = value;
    }
    return release_with(a);
  };
  const std::string no_digest =
      "the release does not publish the package's SHA-256: I will not install without being able "
      "to verify";
  const struct {
    json::value release;
    std::string error;
  } cases[] = {
      {with("digest", json::value("sha256:" + std::string(63, 'a'))),
       "published SHA-256 has an unexpected format"},
      {with("digest", json::value("sha256:" + std::string(63, 'a') + "g")),
       "published SHA-256 has an unexpected format"},
      {with("digest", json::value(std::string(64, 'a'))), no_digest},
      {with("digest", json::value(nullptr)), no_digest},
      {with("browser_download_url",
            json::value("https://evil.example/rstudio/tinytex-releases/" + name)),
       "unexpected download URL: https://evil.example/rstudio/tinytex-releases/" + name},
      {with("browser_download_url", json::value("https://github.com/rstudio/tinytex-releasesX/x")),
       "unexpected download URL: https://github.com/rstudio/tinytex-releasesX/x"},
      {with("browser_download_url", json::value(nullptr)), "package without a download URL"},
      {with("name", json::value(name + ".zip")),
       "release v2025.01 does not have the package " + name},
      {json::object{{"assets", json::array{good}}}, "API response without tag_name"},
      {json::object{{"tag_name", "v2025.01"}},
       "release v2025.01 does not have the package " + name},
  };
  for (const auto& c : cases) {
    const auto result = choose_package(c.release, linux_x86());
    ASSERT_FALSE(result) << json::serialize(c.release);
    EXPECT_EQ(result.error(), c.error);
  }
  EXPECT_EQ(choose_package(with("size", json::value(nullptr)), linux_x86())->size, 0u);
  EXPECT_EQ(choose_package(with("size", json::value(-5)), linux_x86())->size, 0u);
}

TEST(TinyTexPackage, MissingToolsMessage) {
  const struct {
    std::vector<std::string> tools, ids;
    std::string text;
  } cases[] = {
      {{"xz"},
       {"debian"},
       "required tools are missing: xz.\nInstall with: sudo apt install xz-utils"},
      {{"curl", "xz"},
       {"linuxmint", "ubuntu", "debian"},
       "required tools are missing: curl, xz.\nInstall with: sudo apt install curl xz-utils"},
      {{"tar", "xz"},
       {"rocky", "rhel", "centos", "fedora"},
       "required tools are missing: tar, xz.\nInstall with: sudo dnf install tar xz"},
      {{"curl"},
       {"manjaro", "arch"},
       "required tools are missing: curl.\nInstall with: sudo pacman -S curl"},
      {{"curl"},
       {"opensuse-leap", "suse", "opensuse"},
       "required tools are missing: curl.\nInstall with: sudo zypper install curl"},
      {{"curl"}, {"windows"}, "required tools are missing: curl."},
      {{"curl"}, {}, "required tools are missing: curl."},
  };
  for (const auto& c : cases) EXPECT_EQ(missing_tools_message(c.tools, c.ids), c.text);
}

// A home directory, a fake curl serving a release and its package, and the dialogue's answers.
class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home());
    write_script(bin() / "curl",
                 "echo \"$*\" >> \"$0.log\"\n"
                 "out=; prev=\n"
                 "for a in \"$@\"; do [ \"$prev\" = -o ] && out=$a; prev=$a; done\n"
                 // Like a server asked to continue a file already longer than the package.
                 "if [ -n \"$out\" ] && [ -f \"$out\" ] && [ $(wc -c < \"$out\") -gt $(wc -c < '" +
                     (fixtures() / "package").string() +
                     "') ]; then\n"
                     "  echo 'curl: (22) The requested URL returned error: 416' >&2; exit 22; fi\n"
                     "if [ -n \"$out\" ] && [ -f '" +
                     (fixtures() / "broken").string() +
                     "' ]; then echo 'curl: (56) Recv failure: Connection reset by peer' >&2; "
                     "exit 56; fi\n"
                     "if [ -n \"$out\" ]; then cp '" +
                     (fixtures() / "package").string() +
                     "' \"$out\"\n"
                     "else cat '" +
                     (fixtures() / "release.json").string() + "'; fi\n");
  }

  fs::path home() const { return dir_.path() / "home"; }
  fs::path bin() const { return dir_.path() / "bin"; }
  fs::path fixtures() const { return dir_.path() / "fixtures"; }
  fs::path target() const { return home() / ".TinyTeX"; }
  fs::path downloads() const { return dir_.path() / "cache/vellora-agent/downloads"; }
  std::string package_name() const { return "TinyTeX-1-linux-x86_64-v2025.01.tar.xz"; }
  std::string curl_log() const { return read_text(bin() / "curl.log"); }

  // A package whose top-level directory is `root`, with tlmgr (which creates latexmk when asked
  // to install it) and pdflatex.
  std::string make_package(const std::string& root = ".TinyTeX") {
    const fs::path tree = dir_.path() / "tree";
    fs::remove_all(tree);
    const fs::path texbin = tree / root / "bin/x86_64-linux";
    write_script(
        texbin / "tlmgr",
        "echo \"$*\" >> \"$(dirname \"$0\")/tlmgr.log\"\n"
        "[ \"$1 $2\" = 'install latexmk' ] && printf '#!/bin/sh\\necho Latexmk 4.80\\n' > "
        "\"$(dirname \"$0\")/latexmk\" && chmod +x \"$(dirname \"$0\")/latexmk\"\nexit 0\n");
    write_script(texbin / "pdflatex", "echo 'pdfTeX 3.141592653-2.6-1.40.26 (TinyTeX)'\n");
    fs::create_directories(fixtures());
    platform::Command tar;
    tar.program = "/usr/bin/tar";
    tar.args = {"-cJf", (fixtures() / "package").string(), "-C", tree.string(), root};
    EXPECT_TRUE(platform::run(tar)->success());
    return read_text(fixtures() / "package");
  }

  void publish(const std::string& package, std::optional<std::string> digest = std::nullopt) {
    const json::object release{
        {"tag_name", "v2025.01"},
        {"assets", json::array{json::object{
                       {"name", package_name()},
                       {"digest", "sha256:" + digest.value_or(test::sha256_of(package))},
                       {"browser_download_url",
                        "https://github.com/rstudio/tinytex-releases/releases/download/v2025.01/" +
                            package_name()},
                       {"size", 98765432}}}}};
    write_file(fixtures() / "release.json", json::serialize(release));
  }

  // The engines as toolchain discovery sees them inside the target only (this machine's own TeX
  // Live stays out of sight).
  std::vector<std::string> engines_in_target() const {
    std::vector<fs::path> dirs;
    for (const auto& entry : fs::directory_iterator(target() / "bin")) dirs.push_back(entry.path());
    std::vector<std::string> names;
    for (const auto& e :
         detect_engines_with([&](const std::string& name) { return find_program_in(dirs, name); }))
      names.emplace_back(e.name);
    return names;
  }

  TinyTexDialogue dialogue(std::vector<bool> answers = {}) {
    answers_ = std::move(answers);
    return TinyTexDialogue{
        .confirm = [this](const std::string& question) -> std::expected<bool, std::string> {
          questions_.push_back(question);
          if (answers_.empty()) return std::unexpected(std::string("no terminal"));
          const bool answer = answers_.front();
          answers_.erase(answers_.begin());
          return answer;
        },
        .engine_names =
            [this] {
              std::error_code ec;
              return fs::is_directory(target() / "bin", ec) ? engines_in_target()
                                                            : std::vector<std::string>{};
            },
        .program_available = [this](const std::string& p) { return !missing_.contains(p); },
        .out = &out_,
    };
  }

  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", bin().string() + ":/usr/bin:/bin"};
  test::ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  std::vector<bool> answers_;
  std::vector<std::string> questions_;
  std::set<std::string> missing_;
  std::ostringstream out_;
};

TEST_F(Installer, InstallsVerifiesUnpacksAndAddsLatexmk) {
  publish(make_package());
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({true})));
  EXPECT_EQ(out_.str(),
            "System: Linux (x86_64)\nChecking the latest TinyTeX version...\n\n"
            "TinyTeX is a lean LaTeX, installed only for your user (no root):\n"
            "  version  v2025.01\n"
            "  download " +
                package_name() +
                " (98 MB)\n"
                "  target   " +
                target().string() +
                "\n"
                "  source   github.com/rstudio/tinytex-releases (SHA-256 verified)\n\n"
                "Downloading...\nSHA-256 verified. Extracting...\n\n"
                "TinyTeX installed. In Vellora, choose the \"\U0001F4BB Local\" engine.\n");
  EXPECT_EQ(questions_, std::vector<std::string>{"Install TinyTeX?"});
  EXPECT_EQ(
      curl_log(),
      "-fsSL --max-time 30 -H Accept: application/vnd.github+json -H User-Agent: vellora-agent "
      "https://api.github.com/repos/rstudio/tinytex-releases/releases/latest\n"
      "-fL --retry 5 --retry-delay 3 --speed-limit 1 --speed-time 60 -C - -o " +
          (downloads() / package_name()).string() +
          " https://github.com/rstudio/tinytex-releases/releases/download/v2025.01/" +
          package_name() + "\n");
  EXPECT_EQ(read_text(target() / "bin/x86_64-linux/tlmgr.log"), "install latexmk\n");
  EXPECT_EQ(engines_in_target(), std::vector<std::string>{"pdfLaTeX"});
  EXPECT_FALSE(fs::exists(home() / ".vellora-tinytex-tmp"));
  EXPECT_FALSE(fs::exists(downloads() / package_name()));
}

TEST_F(Installer, CachedPackageWithTheRightDigestIsNotDownloadedAgain) {
  const std::string package = make_package();
  publish(package);
  write_file(downloads() / package_name(), package);
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({true})));
  EXPECT_EQ(out_.str().find("Downloading..."), std::string::npos);
  EXPECT_EQ(curl_log().find(" -o "), std::string::npos);
  EXPECT_TRUE(fs::exists(target() / "bin/x86_64-linux/latexmk"));
}

// A package left in the cache that cannot be continued (here longer than the real one) is
// deleted and downloaded once from its start, instead of failing every later run.
TEST_F(Installer, LeftoverThatCannotBeContinuedIsDownloadedAgain) {
  const std::string package = make_package();
  publish(package);
  write_file(downloads() / package_name(), package + "trailing bytes of another file");
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({true})));
  const std::string log = curl_log();
  std::size_t downloads_made = 0;
  for (std::size_t at = 0; (at = log.find(" -o ", at)) != std::string::npos; ++at) ++downloads_made;
  EXPECT_EQ(downloads_made, 2u) << log;
  EXPECT_NE(out_.str().find("downloading from the start"), std::string::npos) << out_.str();
  EXPECT_TRUE(fs::exists(target() / "bin/x86_64-linux/latexmk"));
  EXPECT_FALSE(fs::exists(downloads() / package_name()));
}

// When the download fails again, the message gives the downloader's words and the file's place.
TEST_F(Installer, FailedDownloadAndUnpackingSayWhy) {
  const std::string package = make_package();
  publish(package);
  write_file(fixtures() / "broken", "");
  write_file(downloads() / package_name(), "half");
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "could not download the package to " + (downloads() / package_name()).string() +
                ": the download failed (curl: (56) Recv failure: Connection reset by peer)");
  EXPECT_FALSE(fs::exists(target()));
  fs::remove(fixtures() / "broken");

  // A package that is not an xz archive at all: the unpacker's own line.
  write_file(fixtures() / "package", "not an archive");
  publish("not an archive");
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "could not extract the package (xz: (stdin): File format not recognized)");
  EXPECT_FALSE(fs::exists(target()));
  EXPECT_FALSE(fs::exists(home() / ".vellora-tinytex-tmp"));
}

TEST_F(Installer, RefusalsLeaveTheTargetUntouched) {
  const std::string package = make_package();
  // Digest mismatch: the package goes, the target never appears.
  publish(package, HEX);
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "the downloaded file's SHA-256 does not match the release's: nothing was installed");
  EXPECT_FALSE(fs::exists(downloads() / package_name()));
  EXPECT_FALSE(fs::exists(target()));

  // A package without .TinyTeX inside.
  publish(make_package("TinyTeX"));
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "could not extract the package (did the file come as expected?)");
  EXPECT_FALSE(fs::exists(target()));
  EXPECT_FALSE(fs::exists(home() / ".vellora-tinytex-tmp"));

  // A foreign URL: nothing is downloaded.
  fs::remove(bin() / "curl.log");
  write_file(fixtures() / "release.json",
             R"({"tag_name":"v2025.01","assets":[{"name":")" + package_name() +
                 R"(","digest":"sha256:)" + HEX +
                 R"(","browser_download_url":"https://example.com/x"}]})");
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "unexpected download URL: https://example.com/x");
  EXPECT_EQ(curl_log().find(" -o "), std::string::npos);

  // No answer possible (no terminal, no --yes), then "no".
  publish(package);
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({})).error(), "no terminal");
  out_.str("");
  EXPECT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({false})));
  EXPECT_TRUE(out_.str().ends_with("(SHA-256 verified)\n\nCancelled.\n")) << out_.str();
  EXPECT_FALSE(fs::exists(target()));

  // Missing tools, and a musl system, are refused before anything is asked.
  missing_ = {"curl", "wget", "xz"};
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            "required tools are missing: curl, xz.\nInstall with: sudo apt install curl xz-utils");
  missing_.clear();
  TinyTexSystem musl = linux_x86();
  musl.musl = true;
  EXPECT_TRUE(install_tinytex_with(home(), musl, dialogue({true}))
                  .error()
                  .starts_with("TinyTeX publishes no package for systems with the musl C library"));

  // A directory that is not a TinyTeX.
  fs::create_directories(target() / "texmf");
  EXPECT_EQ(install_tinytex_with(home(), linux_x86(), dialogue({true})).error(),
            target().string() +
                " already exists but does not look like a TinyTeX; remove or rename the folder "
                "and try again");
  EXPECT_TRUE(fs::exists(target() / "texmf"));
}

TEST_F(Installer, AssumeYesNeedsNoTerminal) {
  publish(make_package());
  TinyTexDialogue d = dialogue();
  d.confirm = terminal_dialogue(true).confirm;
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), d));
  EXPECT_TRUE(fs::exists(target() / "bin/x86_64-linux/latexmk"));
}

TEST_F(Installer, ExistingCompilerOrTinyTexWithoutLatexmk) {
  TinyTexDialogue d = dialogue();
  d.engine_names = [] { return std::vector<std::string>{"pdfLaTeX", "XeLaTeX"}; };
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), d));
  EXPECT_EQ(out_.str(),
            "A LaTeX compiler is already available on this machine (pdfLaTeX, XeLaTeX). Nothing to "
            "install: the agent will use it.\n");
  EXPECT_FALSE(fs::exists(target()));

  // A TinyTeX that lacks latexmk: "no" ends quietly, "yes" installs it.
  make_package();
  fs::rename(dir_.path() / "tree/.TinyTeX", target());
  out_.str("");
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({false})));
  EXPECT_EQ(out_.str(),
            "TinyTeX is already at " + target().string() + ", but latexmk is missing.\n");
  EXPECT_EQ(questions_, std::vector<std::string>{"Install latexmk now (tlmgr install latexmk)?"});
  EXPECT_FALSE(fs::exists(target() / "bin/x86_64-linux/latexmk"));
  out_.str("");
  ASSERT_TRUE(install_tinytex_with(home(), linux_x86(), dialogue({true})));
  EXPECT_EQ(out_.str(),
            "TinyTeX is already at " + target().string() + ", but latexmk is missing.\nDone.\n");
  EXPECT_TRUE(fs::exists(target() / "bin/x86_64-linux/latexmk"));
}

TEST_F(Installer, UninstallRemovesOnlyATinyTexAndNeverFollowsLinks) {
  EXPECT_TRUE(uninstall_tinytex_with(home(), dialogue({true})));
  EXPECT_EQ(out_.str(), "There is no TinyTeX at " + target().string() + ".\n");

  fs::create_directories(target() / "bin");
  out_.str("");
  EXPECT_EQ(uninstall_tinytex_with(home(), dialogue({true})).error(),
            target().string() + " does not look like a TinyTeX; I will not delete it");
  fs::remove_all(target());

  make_package();
  fs::rename(dir_.path() / "tree/.TinyTeX", target());
  // Links inside the tree point at things outside it, which must survive.
  const fs::path outside = dir_.path() / "outside";
  write_file(outside / "keep.txt", "kept");
  fs::create_directory_symlink(outside, target() / "bin/linked-dir");
  fs::create_symlink(outside / "keep.txt", target() / "bin/x86_64-linux/linked-file");
  out_.str("");
  EXPECT_TRUE(uninstall_tinytex_with(home(), dialogue({false})));
  EXPECT_EQ(out_.str(), "Cancelled.\n");
  EXPECT_TRUE(fs::exists(target()));
  out_.str("");
  EXPECT_TRUE(uninstall_tinytex_with(home(), dialogue({true})));
  EXPECT_EQ(out_.str(), "TinyTeX removed.\n");
  EXPECT_EQ(questions_.back(), "Remove " + target().string() + " and everything in it?");
  EXPECT_FALSE(fs::exists(target()));
  EXPECT_EQ(read_text(outside / "keep.txt"), "kept");
}

}  // namespace
}  // namespace vellora
