// Package installation against fake tlmgr and kpsewhich programs that record their arguments.

#include <gtest/gtest.h>

#include <thread>

#include "harness.h"
#include "platform/env.h"
#include "tlmgr/tlmgr.h"

namespace vellora {
namespace {

// The first line of a batch fake: logs the call as the shell fakes do ("$*" >> "$0.calls").
std::string log_call_bat(const std::string& name) {
  return "\"%~dp0test_helper.exe\" append \"%~dp0" + name + ".calls\" %*\n";
}

class TlmgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(work());
    std::filesystem::create_directories(bin());
    if (platform::on_windows())
      std::filesystem::copy_file(test::helper_binary(), bin() / "test_helper.exe");
  }
  std::filesystem::path bin() const { return dir_.path() / "bin"; }
  std::filesystem::path work() const { return dir_.path() / "work"; }
  std::filesystem::path tlmgr() const {
    return bin() / (platform::on_windows() ? "tlmgr.bat" : "tlmgr");
  }
  std::string calls() const { return test::read_text(bin() / "tlmgr.calls"); }
  // A tlmgr that logs each call and answers with the given code ($1 / %1 is the action).
  void fake_tlmgr(const std::string& sh, const std::string& bat) {
    test::write_fake(bin(), "tlmgr",
                     {"echo \"$*\" >> \"$0.calls\"\n" + sh, log_call_bat("tlmgr") + bat});
  }

  test::TempDir dir_;
  test::ScopedEnv path_{"PATH", test::path_list({dir_.path() / "bin"}) +
                                    platform::path_list_separator() + test::system_path()};
  test::ScopedEnv limit_{"VELLORA_RUN_LIMIT_SECS", "2"};
};

TEST_F(TlmgrTest, InstallUpdatesTlmgrItselfWhenAsked) {
  fake_tlmgr(
      "case \"$1\" in\n"
      "  update) : > \"$0.updated\" ;;\n"
      "  install) [ -e \"$0.updated\" ] && exit 0; echo 'tlmgr itself needs to be updated.' >&2; "
      "exit 1 ;;\n"
      "esac\n",
      "if \"%~1\"==\"update\" (\n  type nul > \"%~dp0tlmgr.updated\"\n  exit /b 0\n)\n"
      "if \"%~1\"==\"install\" (\n  if exist \"%~dp0tlmgr.updated\" exit /b 0\n"
      "  >&2 echo tlmgr itself needs to be updated.\n  exit /b 1\n)\n");
  const auto installed = install_package(tlmgr(), "koma-script", "/x");
  EXPECT_TRUE(installed) << (installed ? "" : installed.error());
  EXPECT_EQ(calls(), "install koma-script\nupdate --self\ninstall koma-script\n");
}

TEST_F(TlmgrTest, InstallErrorsAreSummaries) {
  fake_tlmgr(
      "case \"$1\" in update) echo 'cannot update' ; echo '=====' ; exit 1 ;; *) echo 'run tlmgr "
      "update --self'; exit 1;; esac\n",
      "if \"%~1\"==\"update\" (\n  echo cannot update\n  echo =====\n  exit /b 1\n)\n"
      "echo run tlmgr update --self\nexit /b 1\n");
  auto result = install_package(tlmgr(), "pkg", std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "tlmgr is out of date and I could not update it: cannot update");
  fake_tlmgr("echo 'tlmgr: package foo not present in repository.'; exit 1\n",
             "echo tlmgr: package foo not present in repository.\nexit /b 1\n");
  EXPECT_EQ(install_package(tlmgr(), "foo", std::nullopt).error(),
            "tlmgr: package foo not present in repository.");
  EXPECT_EQ(install_package(bin() / "absent", "foo", std::nullopt).error(), "could not run tlmgr");
  EXPECT_FALSE(install_package(tlmgr(), "-dangerous", std::nullopt));
}

TEST_F(TlmgrTest, HangingInstallIsKilledWithItsChildren) {
  fake_tlmgr("sleep 1000 & echo $! > \"$0.child\"; sleep 1000\n",
             "\"%~dp0test_helper.exe\" tree \"%~dp0tlmgr.child\"\n");
  const auto started = std::chrono::steady_clock::now();
  const auto result = install_package(tlmgr(), "slow", std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "timed out");
  const std::string child = test::read_text(bin() / "tlmgr.child");
  ASSERT_FALSE(child.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(test::process_alive(std::stoi(child)));
}

TEST_F(TlmgrTest, LogDrivenInstallSearchesSixNewFilesPerPass) {
  fake_tlmgr(
      "case \"$1\" in\n"
      "  search) f=${4#/}; [ \"$f\" = nowhere.sty ] && exit 0\n"
      "          echo \"pkg-${f%.*}:\"; echo \"\ttexmf-dist/tex/latex/x/$f\" ;;\n"
      "  install) [ \"$2\" = pkg-broken ] && { echo 'install failed'; exit 1; }; exit 0 ;;\n"
      "esac\n",
      "if \"%~1\"==\"search\" goto search\n"
      "if \"%~2\"==\"pkg-broken\" (\n  echo install failed\n  exit /b 1\n)\nexit /b 0\n"
      ":search\nset \"f=%~4\"\nset \"f=%f:~1%\"\nif \"%f%\"==\"nowhere.sty\" exit /b 0\n"
      "for %%F in (\"%f%\") do set \"n=%%~nF\"\necho pkg-%n%:\necho "
      "\ttexmf-dist/tex/latex/x/%f%\n");
  std::string log;
  for (const char* f : {"a", "b", "nowhere", "broken", "c", "d", "e", "f"})
    log += std::string("! LaTeX Error: File `") + f + ".sty' not found.\n";
  InstallLog installs;
  EXPECT_TRUE(install_from_log(log, tlmgr(), "/p", installs));
  EXPECT_EQ(installs.tried, (std::vector<std::string>{"a.sty", "b.sty", "nowhere.sty", "broken.sty",
                                                      "c.sty", "d.sty"}));
  EXPECT_EQ(installs.installed, (std::vector<std::string>{"pkg-a", "pkg-b", "pkg-c", "pkg-d"}));
  EXPECT_EQ(installs.failed,
            (std::vector<std::string>{"nowhere.sty: no TeX Live package contains this file",
                                      "pkg-broken (broken.sty): install failed"}));
  EXPECT_NE(calls().find("search --global --file /a.sty\n"), std::string::npos);

  EXPECT_TRUE(install_from_log(log, tlmgr(), "/p", installs));
  EXPECT_EQ(installs.installed.back(), "pkg-f");
  EXPECT_FALSE(install_from_log(log, tlmgr(), "/p", installs));  // nothing new to search
}

TEST_F(TlmgrTest, PreinstallLooksUpWhatKpsewhichCannotFind) {
  test::write_fake(bin(), "kpsewhich",
                   {"echo \"$*\" >> \"$0.calls\"\ncase \"$1\" in article.cls|amsmath.sty) echo "
                    "/tex/$1 ;; esac\n",
                    log_call_bat("kpsewhich") + "if \"%~1\"==\"article.cls\" echo /tex/%~1\n"
                                                "if \"%~1\"==\"amsmath.sty\" echo /tex/%~1\n"});
  fake_tlmgr(
      "case \"$1\" in\n"
      "  search) printf 'tlmgr: package repository "
      "x\\nfoo:\\n\\ttexmf-dist/tex/latex/foo/foo.sty\\n"
      "babel-ngerman:\\n\\ttexmf-dist/tex/generic/babel-german/ngerman.ldf\\n' ;;\n"
      "esac\n",
      "if not \"%~1\"==\"search\" exit /b 0\necho tlmgr: package repository x\necho foo:\n"
      "echo \ttexmf-dist/tex/latex/foo/foo.sty\necho babel-ngerman:\n"
      "echo \ttexmf-dist/tex/generic/babel-german/ngerman.ldf\n");
  test::write_file(work() / "main.tex",
                   "\\documentclass{article}\n\\usepackage{amsmath,foo,mystyle}\n\\usepackage["
                   "ngerman]{babel}\n% \\usepackage{commented}\n");
  test::write_file(work() / "mystyle.sty", "\\RequirePackage{foo}\n");
  test::write_file(work() / "notes.txt", "\\usepackage{ignored}\n");
  const std::vector<FileRef> files = {{"main.tex", ""}, {"mystyle.sty", ""}, {"notes.txt", ""}};
  InstallLog installs;
  preinstall_from_sources(work(), files, tlmgr(), "/p", installs);
  // \usepackage lines first, then \RequirePackage, then the classes; foo is asked once.
  EXPECT_EQ(test::read_text(bin() / "kpsewhich.calls"),
            "amsmath.sty\nfoo.sty\nngerman.ldf\nbabel.sty\narticle.cls\n");
  EXPECT_EQ(calls(),
            "search --global --file /(foo\\.sty|ngerman\\.ldf|babel\\.sty)$\ninstall foo\ninstall "
            "babel-ngerman\n");
  EXPECT_EQ(installs.installed, (std::vector<std::string>{"foo", "babel-ngerman"}));
}

}  // namespace
}  // namespace vellora
