// A program installed by a system package is recognised by the file the package puts beside it,
// and then neither updates itself nor offers to in the tray.

#include "service/package_manager.h"

#include <gtest/gtest.h>

#include "harness.h"
#include "tray/tray_texts.h"

namespace vellora::test {
namespace {

TEST(PackageManager, TheFileBesideTheProgramNamesWhatUpdatesIt) {
  TempDir dir;
  const fs::path program = dir.path() / "usr/bin/vellora-agent";
  write_file(program, "program");
  const fs::path marker = dir.path() / "usr/lib/vellora-agent/updated-by";
  EXPECT_EQ(package_updater(program), std::nullopt);

  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"apt\n", "apt"}, {" dnf ", "dnf"}, {"", std::nullopt}, {"\n", std::nullopt}};
  for (const auto& [text, updater] : cases) {
    write_file(marker, text);
    EXPECT_EQ(package_updater(program), updater) << '"' << text << '"';
  }
  // Found through a link too (/bin -> usr/bin, a link in the user's own bin).
  write_file(marker, "apt\n");
  const fs::path link = dir.path() / "home/bin/vellora-agent";
  fs::create_directories(link.parent_path());
  fs::create_symlink(program, link);
  EXPECT_EQ(package_updater(link), "apt");
  // A copy elsewhere is the user's own.
  const fs::path copy = dir.path() / "home/.local/lib/vellora-agent/vellora-agent";
  write_file(copy, "program");
  EXPECT_EQ(package_updater(copy), std::nullopt);
  EXPECT_EQ(package_managed_text("apt"),
            "installed by the system's package manager: update it with apt");
}

TEST(PackageManager, TheTrayOffersNoUpdate) {
  ShownValues shown;
  shown.available_version = "0.4.16";
  const TrayTexts texts = tray_texts(shown, 47474, "0.4.15", "apt");
  EXPECT_EQ(texts.update_item, "Installed by the system's package manager: update it with apt");
  EXPECT_FALSE(texts.update_enabled);
  EXPECT_TRUE(texts.check_enabled);
}

}  // namespace
}  // namespace vellora::test
