// The release files as users get them: packaged from the executables this build made (the
// "next release" stands in for a second full build), installed from the unpacked download,
// updated from a web server that publishes the release's site folder, rolled back; the Debian
// package; the version rule of the release script; the portability check of the Linux executable.

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "common/json.h"
#include "harness.h"
#include "platform/process.h"
#include "service/manifest.h"
#include "service/probe.h"
#include "service_support.h"

namespace vellora::test {
namespace {

const fs::path SOURCE = VELLORA_SOURCE_DIR;

bool on_path(const std::string& program) {
  platform::Command command;
  command.program = "/bin/sh";
  command.args = {"-c", "command -v " + program};
  const auto result = platform::run(command, {});
  return result && result->success();
}

platform::RunResult run(const fs::path& program, const std::vector<std::string>& args,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
  platform::Command command;
  command.program = program;
  command.args = args;
  command.env = std::move(env);
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::minutes(5);
  const auto result = platform::run(command, options);
  EXPECT_TRUE(result) << program << ": " << (result ? "" : result.error());
  return result ? *result : platform::RunResult{};
}

// Packages the given executable as release `version` in `out` (no Windows executable: the Linux
// suite builds none).
void package(const std::string& version, const fs::path& linux_exe, const fs::path& out) {
  const auto result = run("/bin/bash",
                          {(SOURCE / "scripts/package-release.sh").string(), "--version", version,
                           "--linux", linux_exe.string(), "--out", out.string()},
                          {{"SOURCE_DATE_EPOCH", "1765000000"}});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
}

class Release : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"dpkg-deb", "sha256sum", "objdump", "strip"})
      if (!on_path(tool)) GTEST_SKIP() << tool << " is missing: no release can be packaged here";
  }
  TempDir dir_;
};

TEST_F(Release, FilesOfARelease) {
  const fs::path out = dir_.path() / "0.4.15";
  package("0.4.15", agent_binary(), out);
  const fs::path asset = out / "site/static/agent/vellora-agent-linux-x86_64";
  EXPECT_EQ(run(asset, {"--version"}).out, "vellora-agent 0.4.15\n");
  EXPECT_EQ(fs::status(asset).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  // What the agent itself reads from the site.
  const auto manifest =
      parse_manifest(read_text(out / "site/static/agent/version.json"), "sha256_linux");
  ASSERT_TRUE(manifest) << manifest.error();
  EXPECT_EQ(manifest->version, "0.4.15");
  EXPECT_EQ(manifest->sha256, sha256_of(read_text(asset)));

  const auto sums =
      run("/bin/sh", {"-c", "cd '" + out.string() + "' && sha256sum -c --strict SHA256SUMS"});
  EXPECT_EQ(sums.exit_code, 0) << sums.out << sums.err;
  EXPECT_NE(sums.out.find("vellora-agent_0.4.15_amd64.deb: OK"), std::string::npos) << sums.out;
  EXPECT_NE(sums.out.find("site/static/agent/version.json: OK"), std::string::npos) << sums.out;

  // The same executables give the same bytes.
  const fs::path again = dir_.path() / "again";
  package("0.4.15", agent_binary(), again);
  EXPECT_EQ(read_text(again / "SHA256SUMS"), read_text(out / "SHA256SUMS"));
}

TEST_F(Release, InstalledFromTheDownloadUpdatedFromTheSiteAndRolledBack) {
  package("0.4.15", agent_binary(), dir_.path() / "current");
  package("0.4.16", next_agent_binary(), dir_.path() / "next");

  UserMachine machine;
  machine.fake_systemd();
  machine.set_env("VELLORA_VERIFY_RESTART", "1");
  // As a user does: download the file, make it executable, install.
  const fs::path download = machine.root() / "Downloads/vellora-agent-linux-x86_64";
  fs::create_directories(download.parent_path());
  fs::copy_file(dir_.path() / "current/site/static/agent/vellora-agent-linux-x86_64", download);
  fs::permissions(download, fs::perms::owner_exec, fs::perm_options::add);
  auto result = machine.run(download, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.15");

  // The newer release's site folder, published as it is.
  LocalSite site;
  const fs::path published = dir_.path() / "next/site";
  for (const auto& entry : fs::recursive_directory_iterator(published))
    if (entry.is_regular_file())
      site.put(fs::relative(entry.path(), published).generic_string(), read_text(entry.path()));
  machine.set_env("VELLORA_SITE", site.origin());

  result = machine.run(machine.installed(), {"update", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(
      result.out,
      "New version available: 0.4.15 \u2192 0.4.16\nUpdated to 0.4.16 and service restarted.\n");
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.16");
  EXPECT_EQ(read_text(machine.installed()),
            read_text(published / "static/agent/vellora-agent-linux-x86_64"));

  result = machine.run(machine.installed(), {"rollback"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(wait_for_version(machine.port(), "0.4.15", std::chrono::seconds(30)), "0.4.15");
  EXPECT_EQ(read_text(machine.installed()), read_text(download));
}

TEST_F(Release, DebianPackageContents) {
  package("0.4.15", agent_binary(), dir_.path());
  const fs::path deb = dir_.path() / "vellora-agent_0.4.15_amd64.deb";
  const auto contents = run("/usr/bin/dpkg-deb", {"--contents", deb.string()});
  for (const char* file :
       {"./usr/bin/vellora-agent", "./usr/lib/systemd/user/vellora-agent.service",
        "./usr/lib/vellora-agent/updated-by", "./usr/share/doc/vellora-agent/copyright"})
    EXPECT_NE(contents.out.find(file), std::string::npos) << file << "\n" << contents.out;
  // Nothing enables the unit for anyone: no maintainer scripts.
  EXPECT_EQ(contents.out.find("default.target.wants"), std::string::npos) << contents.out;
  const auto control = run("/usr/bin/dpkg-deb", {"--field", deb.string()});
  EXPECT_NE(control.out.find("Version: 0.4.15\n"), std::string::npos) << control.out;
  EXPECT_NE(control.out.find("Depends: libc6 (>= 2."), std::string::npos) << control.out;
  EXPECT_NE(control.out.find("Recommends: latexmk, texlive-latex-recommended\n"), std::string::npos)
      << control.out;

  if (!on_path("lintian")) GTEST_SKIP() << "lintian is missing: the package was not checked";
  const auto lintian = run(
      "/bin/sh", {"-c", "lintian --fail-on error --suppress-tags no-manual-page " + deb.string()});
  EXPECT_EQ(lintian.exit_code, 0) << lintian.out << lintian.err;
}

// dpkg -i for real, and removed again: only as root, and only where no vellora-agent package is
// installed already.
TEST_F(Release, DebianPackageInstalledIsUpdatedByThePackageManager) {
  if (::geteuid() != 0) GTEST_SKIP() << "not root: the package is not installed";
  if (run("/usr/bin/dpkg-query", {"-W", "vellora-agent"}).exit_code == 0)
    GTEST_SKIP() << "a vellora-agent package is installed on this machine already";
  package("0.4.15", agent_binary(), dir_.path());
  const auto installed =
      run("/usr/bin/dpkg", {"-i", (dir_.path() / "vellora-agent_0.4.15_amd64.deb").string()});
  if (installed.err.find("lock") != std::string::npos)
    GTEST_SKIP() << "dpkg is busy: " << installed.err;
  struct Removal {
    ~Removal() { run("/usr/bin/dpkg", {"--purge", "vellora-agent"}); }
  } removal;
  ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;

  EXPECT_EQ(run("/usr/bin/vellora-agent", {"--version"}).out, "vellora-agent 0.4.15\n");
  EXPECT_TRUE(fs::exists("/usr/lib/systemd/user/vellora-agent.service"));
  UserMachine machine;
  LocalSite site;
  site.publish("0.4.16", read_text(next_agent_binary()));
  machine.set_env("VELLORA_SITE", site.origin());
  const auto update = machine.run("/usr/bin/vellora-agent", {"update", "--yes"});
  EXPECT_EQ(update.exit_code, 1);
  EXPECT_EQ(update.err, "Error: installed by the system's package manager: update it with apt\n");
  EXPECT_EQ(site.requests(), "");  // not even asked
  EXPECT_EQ(run("/usr/bin/vellora-agent", {"--version"}).out, "vellora-agent 0.4.15\n");
}

// What the package installs is registered by enabling the package's user unit for the user who
// asks, is never copied or replaced by the agent, and is disabled again by uninstall.
TEST(PackagedAgent, InstallEnablesThePackagesUnitAndNeverCopiesOrUpdates) {
  UserMachine machine;
  const fs::path program = machine.copy_agent(machine.root() / "usr/bin/vellora-agent");
  write_file(machine.root() / "usr/lib/vellora-agent/updated-by", "apt\n");
  machine.fake_systemd(program);
  machine.set_env("VELLORA_VERIFY_RESTART", "1");
  auto result = machine.run(program, {"install"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(result.out.starts_with("Agent 0.4.15 installed at " + program.string() +
                                     "\nService installed and started.\n"))
      << result.out;
  EXPECT_EQ(query_running_agent(machine.port()), "0.4.15");
  EXPECT_NE(machine.systemctl_log().find("--user enable vellora-agent.service\n"),
            std::string::npos)
      << machine.systemctl_log();
  EXPECT_FALSE(fs::exists(machine.xdg_config() / "systemd/user/vellora-agent.service"));
  EXPECT_FALSE(fs::exists(machine.installed()));
  result = machine.run(program, {"status"});
  EXPECT_NE(result.out.find("Service:        installed (" + program.string() + ", systemd user unit"),
            std::string::npos)
      << result.out;

  LocalSite site;
  site.publish("0.4.16", read_text(next_agent_binary()));
  machine.set_env("VELLORA_SITE", site.origin());
  result = machine.run(program, {"update", "--yes"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Error: installed by the system's package manager: update it with apt\n");

  result = machine.run(program, {"uninstall"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(machine.systemctl_log().ends_with("--user disable --now vellora-agent.service\n"))
      << machine.systemctl_log();
  EXPECT_EQ(query_running_agent(machine.port()), std::nullopt);
  EXPECT_TRUE(fs::exists(program));
}

// The release script refuses exactly the versions the agent's update would refuse (and those
// Windows cannot carry in a file version).
TEST(ReleaseScript, RefusesWhatTheUpdateWouldRefuse) {
  for (const std::string version :
       {"1", "0.5", "0.4.16", "65535.0.1", "", "1.2.3.4", "1.a", "0.4.15-rc1", ".1", "1.", "1..2",
        "123456789.123456789.1", "0000000000000000001", "00065535.0"}) {
    const auto result =
        run("/bin/bash", {(SOURCE / "scripts/release.sh").string(), "--check-version", version});
    EXPECT_EQ(result.exit_code == 0, valid_version(version)) << '"' << version << '"' << result.err;
  }
  for (const std::string version : {"65536", "1.70000", "0.000100000"}) {
    EXPECT_TRUE(valid_version(version));
    const auto result =
        run("/bin/bash", {(SOURCE / "scripts/release.sh").string(), "--check-version", version});
    EXPECT_EQ(result.exit_code, 1) << version;
    EXPECT_NE(result.err.find("Windows file version"), std::string::npos) << result.err;
  }
}

// The check finds what ties an executable to a newer system: this build's own executable, linked
// against this machine's glibc, is refused whenever that glibc is newer than 2.31; a program
// linked the release's way against the Debian 11 root passes and runs there too.
TEST(Portability, CheckRefusesANewGlibcAndPassesTheReleaseLinking) {
  const fs::path check = SOURCE / "scripts/check-portable.sh";
  const auto host = run("/bin/bash", {check.string(), agent_binary().string()});
  const auto glibc = run("/usr/bin/getconf", {"GNU_LIBC_VERSION"});
  if (glibc.out >= "glibc 2.34") {
    EXPECT_EQ(host.exit_code, 1);
    EXPECT_NE(host.err.find("__libc_start_main@GLIBC_2.34"), std::string::npos) << host.err;
  }

  const char* root_env = std::getenv("VELLORA_SYSROOT");
  const char* home = std::getenv("HOME");
  const fs::path root = root_env
                            ? fs::path(root_env)
                            : fs::path(home ? home : "/") / ".cache/vellora-agent-release/bullseye";
  if (!fs::exists(root / ".vellora-sysroot-1"))
    GTEST_SKIP() << "no Debian 11 root at " << root << ": scripts/sysroot.sh makes one";
  // Threads, exceptions (the unwinder's lookup of its tables), random_device, libcrypto, zlib,
  // dlopen: what the agent takes from the C library.
  TempDir dir;
  write_file(dir.path() / "probe.cpp", R"(
#include <dlfcn.h>
#include <openssl/evp.h>
#include <zlib.h>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
int main() {
  auto shared = std::make_shared<int>(0);
  std::thread([shared] { try { throw std::runtime_error("thrown"); }
                         catch (const std::exception&) { *shared = 1; } }).join();
  std::random_device random;
  unsigned char digest[32];
  unsigned size = 0;
  EVP_Digest("a", 1, digest, &size, EVP_sha256(), nullptr);
  void* library = dlopen("libsystemd-not-here.so.0", RTLD_NOW);
  std::printf("%d %u %s %d\n", *shared, size, zlibVersion() ? "zlib" : "", library == nullptr);
  return static_cast<int>(random() & 0);
}
)");
  const std::string lib = (root / "usr/lib/x86_64-linux-gnu").string();
  const auto built =
      run("/usr/bin/g++", {"-std=c++23", "-O1", "--sysroot=" + root.string(), "-B" + lib,
                           "-L" + lib, (dir.path() / "probe.cpp").string(),
                           (SOURCE / "cmake/portable/glibc_compat.cpp").string(), "-o",
                           (dir.path() / "probe").string(), "-static-libstdc++", "-static-libgcc",
                           lib + "/libcrypto.a", lib + "/libz.a", "-pthread", "-ldl"});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  const auto checked = run("/bin/bash", {check.string(), (dir.path() / "probe").string()});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_EQ(run(dir.path() / "probe", {}).out, "1 32 zlib 1\n");
  if (::geteuid() == 0) {
    // In the Debian 11 root itself.
    const fs::path inside = root / "tmp" / ("probe-" + std::to_string(::getpid()));
    fs::copy_file(dir.path() / "probe", inside);
    EXPECT_EQ(run("/usr/sbin/chroot", {root.string(), "/tmp/" + inside.filename().string()}).out,
              "1 32 zlib 1\n");
    fs::remove(inside);
  }
}

// libsystemd is loaded when the tray starts: without it the agent serves and says so once.
TEST(Portability, WithoutLibsystemdTheAgentServesWithoutItsIcon) {
  Agent agent;
  agent.set_env("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  agent.set_env("VELLORA_LIBSYSTEMD", "libsystemd-not-here.so.0");
  ASSERT_TRUE(agent.start({}));
  for (int i = 0; i < 200 && agent.errors().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(agent.errors(),
            "Tray icon unavailable: could not connect to the session bus: Can not access a needed "
            "shared library\n");
  EXPECT_EQ(agent.get("/v1/status").status, 200u);
}

}  // namespace
}  // namespace vellora::test
