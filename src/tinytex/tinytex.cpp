#include "tinytex/tinytex.h"

#include <iostream>

#include "common/text.h"
#include "dirs/dirs.h"
#include "net/confirm.h"
#include "net/fetch.h"
#include "platform/crypto.h"
#include "platform/env.h"
#include "platform/program.h"
#include "tlmgr/tlmgr.h"
#include "toolchain/engines.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view API_HOST = "https://api.github.com";
constexpr std::string_view WEB_HOST = "github.com";
constexpr std::string_view REPOSITORY = "/rstudio/tinytex-releases";
// A TinyTeX package holds some ten thousand files: unpacking is given plenty of time.
constexpr auto UNPACK_LIMIT = std::chrono::minutes(30);

std::string download_prefix() {
  return "https://" + std::string(WEB_HOST) + std::string(REPOSITORY) + "/";
}

const json::value* member(const json::value& v, std::string_view key) {
  return v.is_object() ? v.get_object().if_contains(key) : nullptr;
}

void remove_tree(const fs::path& dir) {
  // remove_all deletes symbolic links themselves, never what they point to.
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace

std::string tinytex_package_name(const TinyTexSystem& system, const std::string& tag) {
  return "TinyTeX-1-" + system.word + "-" + tag + system.extension;
}

std::expected<TinyTexRelease, std::string> choose_package(const json::value& release,
                                                          const TinyTexSystem& system) {
  const json::value* tag = member(release, "tag_name");
  if (tag == nullptr || !tag->is_string())
    return std::unexpected(std::string("API response without tag_name"));
  TinyTexRelease chosen;
  chosen.tag = std::string(tag->get_string());
  chosen.name = tinytex_package_name(system, chosen.tag);
  const json::value* assets = member(release, "assets");
  const json::value* asset = nullptr;
  if (assets != nullptr && assets->is_array()) {
    for (const json::value& a : assets->get_array()) {
      const json::value* name = member(a, "name");
      if (name != nullptr && name->is_string() && name->get_string() == chosen.name) {
        asset = &a;
        break;
      }
    }
  }
  if (asset == nullptr)
    return std::unexpected("release " + chosen.tag + " does not have the package " + chosen.name);
  const json::value* digest = member(*asset, "digest");
  if (digest == nullptr || !digest->is_string() || !digest->get_string().starts_with("sha256:"))
    return std::unexpected(std::string(
        "the release does not publish the package's SHA-256: I will not install without being "
        "able to verify"));
  const std::string_view hex = std::string_view(digest->get_string()).substr(7);
  bool hex_ok = hex.size() == 64;
  for (char c : hex) hex_ok = hex_ok && is_hex_digit(c);
  if (!hex_ok) return std::unexpected(std::string("published SHA-256 has an unexpected format"));
  chosen.sha256 = to_lower_ascii(hex);
  const json::value* url = member(*asset, "browser_download_url");
  if (url == nullptr || !url->is_string())
    return std::unexpected(std::string("package without a download URL"));
  chosen.url = std::string(url->get_string());
  if (!chosen.url.starts_with(download_prefix()))
    return std::unexpected("unexpected download URL: " + chosen.url);
  if (const json::value* size = member(*asset, "size")) chosen.size = as_u64(*size).value_or(0);
  return chosen;
}

std::string missing_tools_message(const std::vector<std::string>& tools,
                                  const std::vector<std::string>& identifiers) {
  struct Rule {
    std::vector<std::string> ids;
    std::string command;
  };
  const Rule rules[] = {
      {{"macos"}, "brew install"},
      {{"debian", "ubuntu"}, "sudo apt install"},
      {{"fedora", "rhel", "centos", "rocky", "almalinux"}, "sudo dnf install"},
      {{"arch", "manjaro", "endeavouros"}, "sudo pacman -S"},
      {{"opensuse", "suse", "sles"}, "sudo zypper install"},
      {{"alpine"}, "sudo apk add"},
      {{"void"}, "sudo xbps-install"},
  };
  std::string text = "required tools are missing: " + join(tools, ", ") + ".";
  for (const Rule& rule : rules) {
    bool applies = false;
    for (const auto& id : identifiers)
      for (const auto& r : rule.ids) applies = applies || id == r;
    if (!applies) continue;
    std::vector<std::string> packages = tools;
    if (rule.command == "sudo apt install")
      for (auto& p : packages)
        if (p == "xz") p = "xz-utils";
    return text + "\nInstall with: " + rule.command + " " + join(packages, " ");
  }
  return text;
}

std::optional<fs::path> find_tlmgr(const fs::path& root) {
  std::error_code ec;
  for (fs::directory_iterator it(root / "bin", ec), end; !ec && it != end; it.increment(ec)) {
    for (const char* name : {"tlmgr.exe", "tlmgr.bat", "tlmgr"}) {
      std::error_code file_ec;
      const fs::path candidate = it->path() / name;
      if (fs::is_regular_file(candidate, file_ec)) return candidate;
    }
  }
  return std::nullopt;
}

void install_latexmk(const fs::path& tlmgr) {
  std::cout << "Installing latexmk with tlmgr...\n" << std::flush;
  // Each tlmgr run has the time limit of a package installation.
  const auto installed = install_package(tlmgr, "latexmk", std::nullopt);
  if (!installed)
    std::cerr << "Could not install latexmk: " << installed.error() << "\n" << std::flush;
}

TinyTexDialogue terminal_dialogue(bool assume_yes) {
  return TinyTexDialogue{
      .confirm = [assume_yes](const std::string& q) { return net::confirm(q, assume_yes); },
      .engine_names = [] { return engine_names(); },
      .program_available =
          [](const std::string& program) {
            return program == "curl" || program == "wget"
                       ? net::locate_downloader(program).has_value()
                       : net::program_on_path(program);
          },
      .out = &std::cout,
      .tool_output =
          platform::stdin_is_terminal() ? net::ToolOutput::Shown : net::ToolOutput::Captured,
  };
}

std::expected<void, std::string> install_tinytex(const fs::path& home, bool assume_yes) {
  return install_tinytex_with(home, tinytex_system(), terminal_dialogue(assume_yes));
}

std::expected<void, std::string> install_tinytex_with(const fs::path& home,
                                                      const TinyTexSystem& system,
                                                      const TinyTexDialogue& dialogue) {
  std::ostream& out = *dialogue.out;
  const fs::path target = tinytex_target(home);
  const std::string target_text = platform::path_text(target);
  if (const auto names = dialogue.engine_names(); !names.empty()) {
    out << "A LaTeX compiler is already available on this machine (" << join(names, ", ")
        << "). Nothing to install: the agent will use it.\n";
    return {};
  }
  if (const auto tlmgr = find_tlmgr(target)) {
    out << "TinyTeX is already at " << target_text << ", but latexmk is missing.\n";
    const auto yes = dialogue.confirm("Install latexmk now (tlmgr install latexmk)?");
    if (!yes) return std::unexpected(yes.error());
    if (!*yes) return {};
    out << std::flush;
    install_latexmk(*tlmgr);
    if (dialogue.engine_names().empty())
      return std::unexpected(
          std::string("still cannot find latexmk and pdflatex; check TinyTeX in ~/.TinyTeX"));
    out << "Done.\n";
    return {};
  }
  std::error_code ec;
  if (fs::exists(fs::symlink_status(target, ec)))
    return std::unexpected(target_text +
                           " already exists but does not look like a TinyTeX; remove or rename "
                           "the folder and try again");
  if (system.musl)
    return std::unexpected(std::string(
        "TinyTeX publishes no package for systems with the musl C library (such as Alpine): "
        "install TeX Live from your distribution instead"));
  std::vector<std::string> missing;
  const auto& available = dialogue.program_available;
  if (!available("curl") && !available("wget")) missing.push_back("curl");
  for (const auto& tool : system.unpack_tools)
    if (!available(tool)) missing.push_back(tool);
  if (!missing.empty()) return std::unexpected(missing_tools_message(missing, system.identifiers));

  out << "System: " << system.label << " (" << system.architecture << ")\n";
  out << "Checking the latest TinyTeX version...\n" << std::flush;
  const auto text = net::fetch_text(std::string(API_HOST) + "/repos" + std::string(REPOSITORY) +
                                    "/releases/latest");
  if (!text) return std::unexpected(text.error());
  const auto parsed = parse_json(*text);
  if (!parsed) return std::unexpected("invalid response from GitHub: " + parsed.error());
  const auto release = choose_package(*parsed, system);
  if (!release) return std::unexpected(release.error());

  out << "\nTinyTeX is a lean LaTeX, installed only for your user (no root):\n"
      << "  version  " << release->tag << "\n"
      << "  download " << release->name << " (" << release->size / 1000000 << " MB)\n"
      << "  target   " << target_text << "\n"
      << "  source   " << WEB_HOST << REPOSITORY << " (SHA-256 verified)\n\n";
  const auto yes = dialogue.confirm("Install TinyTeX?");
  if (!yes) return std::unexpected(yes.error());
  if (!*yes) {
    out << "Cancelled.\n";
    return {};
  }

  const fs::path downloads = cache_dir() / "downloads";
  fs::create_directories(downloads, ec);
  if (ec) return std::unexpected(ec.message());
  const fs::path package = downloads / release->name;
  if (!fs::exists(package, ec) || platform::sha256_file(package) != release->sha256) {
    out << "Downloading...\n" << std::flush;
    auto downloaded = net::download_file(release->url, package, dialogue.tool_output);
    if ((!downloaded || platform::sha256_file(package) != release->sha256) &&
        fs::exists(package, ec)) {
      // What an earlier run left cannot be continued (corrupt, or longer than the package):
      // it goes, and the package comes once more from its start.
      remove_quietly(package);
      out << "The earlier partial download could not be continued; downloading from the start...\n"
          << std::flush;
      downloaded = net::download_file(release->url, package, dialogue.tool_output);
    }
    if (!downloaded)
      return std::unexpected("could not download the package to " + platform::path_text(package) +
                             ": " + downloaded.error());
    if (platform::sha256_file(package) != release->sha256) {
      remove_quietly(package);
      return std::unexpected(std::string(
          "the downloaded file's SHA-256 does not match the release's: nothing was installed"));
    }
  }
  out << "SHA-256 verified. Extracting...\n" << std::flush;

  const fs::path unpacking = home / ".vellora-tinytex-tmp";
  remove_tree(unpacking);
  fs::create_directories(unpacking, ec);
  if (ec) return std::unexpected(ec.message());
  const fs::path unpacked = unpacking / system.root_name;
  // The unpacked tree must be a real directory, not a link the package planted to elsewhere.
  const auto unpacked_ok = unpack_package(package, unpacking, UNPACK_LIMIT, dialogue.tool_output);
  if (!unpacked_ok || !fs::is_directory(fs::symlink_status(unpacked, ec))) {
    remove_tree(unpacking);
    // The unpacker's own words say why (a full disk, a damaged file); silence leaves the guess.
    const std::string why = unpacked_ok || unpacked_ok.error().empty()
                                ? "did the file come as expected?"
                                : unpacked_ok.error();
    return std::unexpected("could not extract the package (" + why + ")");
  }
  // A fresh profile may not have the folder that holds the target yet.
  fs::create_directories(target.parent_path(), ec);
  if (!ec) fs::rename(unpacked, target, ec);
  if (ec) return std::unexpected("could not move to " + target_text + ": " + ec.message());
  remove_tree(unpacking);
  remove_quietly(package);

  const auto tlmgr = find_tlmgr(target);
  if (!tlmgr)
    return std::unexpected(std::string("installed, but could not find tlmgr in ~/.TinyTeX/bin"));
  if (dialogue.engine_names().empty()) {
    out << std::flush;
    install_latexmk(*tlmgr);
  }
  if (dialogue.engine_names().empty())
    return std::unexpected(std::string(
        "TinyTeX was installed, but the agent still cannot see latexmk and pdflatex (try: "
        "~/.TinyTeX/bin/*/tlmgr install latexmk)"));
  out << "\nTinyTeX installed. In Vellora, choose the \"\U0001F4BB Local\" engine.\n";
  return {};
}

std::expected<void, std::string> uninstall_tinytex(const fs::path& home, bool assume_yes) {
  return uninstall_tinytex_with(home, terminal_dialogue(assume_yes));
}

std::expected<void, std::string> uninstall_tinytex_with(const fs::path& home,
                                                        const TinyTexDialogue& dialogue) {
  std::ostream& out = *dialogue.out;
  const fs::path target = tinytex_target(home);
  const std::string target_text = platform::path_text(target);
  std::error_code ec;
  if (!fs::is_directory(target, ec)) {
    out << "There is no TinyTeX at " << target_text << ".\n";
    return {};
  }
  if (!find_tlmgr(target))
    return std::unexpected(target_text + " does not look like a TinyTeX; I will not delete it");
  const auto yes = dialogue.confirm("Remove " + target_text + " and everything in it?");
  if (!yes) return std::unexpected(yes.error());
  if (!*yes) {
    out << "Cancelled.\n";
    return {};
  }
  // A link in place of the root goes alone; inside it, links are removed, never followed.
  fs::remove_all(target, ec);
  if (ec) return std::unexpected(ec.message());
  out << "TinyTeX removed.\n";
  return {};
}

}  // namespace vellora
