#include "cli/usage.h"

#include <algorithm>
#include <array>

namespace vellora {
namespace {

struct CommandHelp {
  std::string_view word;
  std::string_view summary;  // the line in the list of commands
  std::string_view usage;    // the whole usage, ending in a newline
};

constexpr std::string_view VERSION_USAGE =
    "usage: vellora-agent --version (also -V or version)\n"
    "Prints the version of this program. Changes nothing.\n";
constexpr std::string_view HELP_USAGE =
    "usage: vellora-agent --help [<command>] (also -h or help)\n"
    "Lists the commands, or shows what one command does. Changes nothing.\n";

constexpr std::array COMMANDS = {
    CommandHelp{"code", "print a one-time pairing code for a browser",
                "usage: vellora-agent code\n"
                "Creates a one-time pairing code and prints it; type it into the Vellora page to "
                "pair that browser. The code is valid for 5 minutes, can be used once, and "
                "replaces a code not yet used. Asks nothing.\n"},
    CommandHelp{"devices", "list the paired browsers",
                "usage: vellora-agent devices\n"
                "Lists the paired browsers: their id, their site, and how many days ago each was "
                "paired and last used. Changes nothing.\n"},
    CommandHelp{"revoke", "revoke a paired browser, the legacy code or all accesses",
                "usage: vellora-agent revoke <id|legacy|all>\n"
                "Revokes the access of one paired browser (its id as `vellora-agent devices` shows "
                "it), of the old permanent code (legacy), or of every browser and code (all), and "
                "prints how many were revoked. Does not ask first.\n"},
    CommandHelp{"engines", "list the compilers found on this machine",
                "usage: vellora-agent engines\n"
                "Lists the compilers the agent finds on this machine (pdfLaTeX, XeLaTeX and "
                "LuaLaTeX through latexmk, Tectonic, ConTeXt) with their versions. Changes "
                "nothing.\n"},
    CommandHelp{"install-tinytex", "install TinyTeX for this user",
                "usage: vellora-agent install-tinytex [--yes]\n"
                "Downloads the latest TinyTeX (about 100 MB), checks its published SHA-256, "
                "unpacks it for this user alone (~/.TinyTeX; %APPDATA%\\TinyTeX on Windows) and "
                "adds latexmk. Nothing happens when a compiler is already found. Asks before "
                "downloading; --yes (-y) answers yes.\n"},
    CommandHelp{"uninstall-tinytex", "remove the TinyTeX of this user",
                "usage: vellora-agent uninstall-tinytex [--yes]\n"
                "Removes the TinyTeX installed for this user, and only a folder that holds a "
                "TinyTeX. Asks first; --yes (-y) answers yes.\n"},
    CommandHelp{"install", "install this program as a service started at log-in",
                "usage: vellora-agent install\n"
                "Copies this program to the per-user programs folder, has it start at log-in (a "
                "systemd user unit, an autostart entry, or the Run key on Windows), stops the "
                "other running copies of the agent and starts the installed one. Does not ask "
                "first.\n"},
    CommandHelp{"update", "update to the newest version",
                "usage: vellora-agent update [--yes]\n"
                "Asks the Vellora site for a newer version. When there is one, downloads it, "
                "checks its SHA-256 and that it runs as that version, keeps the current program "
                "for `rollback`, installs the new one and restarts the service; a release that "
                "does not start is replaced by the previous version again. Asks before "
                "installing; --yes (-y) answers yes.\n"},
    CommandHelp{"auto-update", "show or set the automatic-update policy",
                "usage: vellora-agent auto-update [off|notify|on]\n"
                "Without an argument, shows the policy. With one, sets it: off = never asks the "
                "site; notify = shows a notification once per new version; on = installs a new "
                "version by itself when the service is installed and no compile runs. A running "
                "agent follows the change from its next update check. Does not ask first.\n"},
    CommandHelp{"rollback", "put back the version the last update replaced",
                "usage: vellora-agent rollback\n"
                "Puts back the program saved by the last update and restarts the service. Does "
                "not ask first.\n"},
    CommandHelp{"status", "show the version, the service and the update policy",
                "usage: vellora-agent status\n"
                "Shows this program's version and path, whether the service is installed, which "
                "version answers on the agent's port, and the update policy. Changes nothing.\n"},
    CommandHelp{"uninstall", "remove the service and the installed program",
                "usage: vellora-agent uninstall\n"
                "Removes the start at log-in, stops the running agents and deletes the installed "
                "program with its saved versions. Paired browsers, settings, the cache and TinyTeX "
                "stay. Does not ask first.\n"},
    CommandHelp{"launch", "start the agent in the background and return",
                "usage: vellora-agent launch\n"
                "Starts this program as the agent in the background and returns at once (what "
                "the start at log-in runs). Asks nothing.\n"},
    CommandHelp{"finish-update", "used by the agent itself to restart after an automatic update",
                "usage: vellora-agent finish-update <version>\n"
                "Run by the agent after it installed <version> by itself: restarts the service, "
                "checks that the new version answers, and otherwise puts the previous version "
                "back. Not meant to be typed; does not ask first.\n"},
    CommandHelp{"--version", "print the version (also -V, version)", VERSION_USAGE},
    CommandHelp{"--help", "show this list, or a command's usage (also -h, help)", HELP_USAGE},
};

// The spelling a command is listed under.
std::string_view listed_word(std::string_view word) {
  if (word == "-V" || word == "version") return "--version";
  if (word == "-h" || word == "help") return "--help";
  return word;
}

}  // namespace

std::string help_text(unsigned port) {
  std::string text =
      "vellora-agent "
      "[code|devices|revoke|engines|install-tinytex|uninstall-tinytex|install|update|auto-update|"
      "rollback|status|uninstall|--version]\nWithout an argument, it runs the agent on "
      "127.0.0.1:" +
      std::to_string(port) + ".\n\nCommands:\n";
  std::size_t width = 0;
  for (const CommandHelp& c : COMMANDS) width = std::max(width, c.word.size());
  for (const CommandHelp& c : COMMANDS) {
    text += "  " + std::string(c.word) + std::string(width + 2 - c.word.size(), ' ');
    text += std::string(c.summary) + "\n";
  }
  text +=
      "\nSee `vellora-agent <command> --help` for what a command does and whether it asks "
      "first.\n";
  return text;
}

std::optional<std::string> command_usage(std::string_view word) {
  const std::string_view listed = listed_word(word);
  for (const CommandHelp& c : COMMANDS)
    if (c.word == listed) return std::string(c.usage);
  return std::nullopt;
}

bool asks_for_help(const std::vector<std::string>& args) {
  for (std::size_t i = 2; i < args.size(); ++i)
    if (args[i] == "-h" || args[i] == "--help") return true;
  return false;
}

std::optional<std::string> unknown_option(const std::vector<std::string>& args) {
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& a = args[i];
    // "--yes" and "-y" are read on every command line; a lone "-" is no option.
    if (a.size() >= 2 && a[0] == '-' && a != "--yes" && a != "-y") return a;
  }
  return std::nullopt;
}

}  // namespace vellora
