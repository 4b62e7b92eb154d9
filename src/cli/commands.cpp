#include "cli/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>

#include "agent/port.h"
#include "auth/tokens.h"
#include "cli/dispatch.h"
#include "cli/maintenance.h"
#include "cli/usage.h"
#include "dirs/dirs.h"
#include "pairing/pairing.h"
#include "version.h"

namespace vellora {
namespace {

// Pads to a width in characters, so that a label with accents lines up like an ASCII one.
std::string pad(std::string text, std::size_t width) {
  std::size_t characters = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;  // not a continuation byte
  if (characters < width) text.append(width - characters, ' ');
  return text;
}

// "help <command>" shows that command's usage; "help" alone the list of commands.
void help_command(const std::vector<std::string>& args) {
  if (args.size() > 2 && !args[2].empty() && args[2][0] != '-') {
    const auto usage = command_usage(args[2]);
    if (!usage) {
      std::cerr << "Error: there is no command " << args[2] << "; see vellora-agent --help\n";
      std::exit(2);
    }
    std::cout << *usage;
    return;
  }
  std::cout << help_text(agent_port());
}

// A word's own usage for "<word> --help", and an error that changes nothing for an option the
// word does not take.
bool usage_handled(const std::vector<std::string>& args) {
  if (asks_for_help(args)) {
    std::cout << command_usage(args[1]).value_or(help_text(agent_port()));
    return true;
  }
  if (const auto option = unknown_option(args)) {
    std::cout.flush();
    std::cerr << "Error: unknown option " << *option << " for " << args[1] << "; see vellora-agent "
              << args[1] << " --help\n"
              << std::flush;
    std::exit(2);
  }
  return false;
}

std::uint64_t days_since(std::uint64_t time, std::uint64_t now) {
  return now > time ? (now - time) / 86400 : 0;
}

void code_command() {
  const auto code = issue_code(config_dir());
  if (!code) command_failed(code.error());
  std::cout << *code << "\n(valid for 5 minutes and can only be used once)\n";
}

void devices_command() {
  std::vector<Device> devices;
  bool has_legacy = false;
  {
    // Only read: when the lock cannot be had, the files are read anyway (each is replaced whole).
    const auto lock = StateLock::acquire(config_dir());
    devices = load_devices(config_dir());
    has_legacy = load_legacy_token(config_dir()).has_value();
  }
  std::cout << devices_listing(devices, has_legacy, now_secs());
}

void revoke_command(const std::vector<std::string>& args) {
  if (args.size() < 3 || args[2].empty()) {
    std::cerr << "usage: vellora-agent revoke <id|legacy|all>\n";
    return;
  }
  const auto count = args[2] == "all" ? revoke_all(config_dir()) : revoke(config_dir(), args[2]);
  if (!count) command_failed(count.error());
  std::cout << *count << " access(es) revoked.\n";
}

}  // namespace

std::string devices_listing(const std::vector<Device>& devices, bool has_legacy,
                            std::uint64_t now) {
  if (devices.empty() && !has_legacy) return "No paired browsers.\n";
  std::string out;
  if (has_legacy)
    out += pad("legacy", 10) + " " + pad("-", 24) +
           " old permanent code (revoke with: vellora-agent revoke legacy)\n";
  for (const Device& d : devices) {
    out += pad(d.id, 10) + " " + pad(d.label, 24) + " paired " +
           std::to_string(days_since(d.created, now)) + " days ago, last used " +
           std::to_string(days_since(d.last_used, now)) + " days ago\n";
  }
  return out;
}

std::string engines_listing(const std::vector<EngineInfo>& engines) {
  std::string out;
  if (engines.empty())
    out += "No compiler found (needs latexmk + pdflatex/xelatex/lualatex, tectonic or ConTeXt).\n";
  for (const auto& e : engines)
    out += pad(std::string(e.id), 16) + " " + pad(std::string(e.name), 10) + " " + e.version + "\n";
  return out;
}

bool assume_yes(const std::vector<std::string>& args) {
  for (const auto& a : args)
    if (a == "--yes" || a == "-y") return true;
  return false;
}

bool dispatch_command(const std::vector<std::string>& args) {
  if (args.size() < 2) return false;
  CommandTable commands = {
      {"code", code_command},
      {"devices", devices_command},
      {"revoke", [&] { revoke_command(args); }},
      {"engines", [] { std::cout << engines_listing(detect_engines()); }},
      {"-V", [] { std::cout << "vellora-agent " << VERSION << "\n"; }},
      {"--version", [] { std::cout << "vellora-agent " << VERSION << "\n"; }},
      {"version", [] { std::cout << "vellora-agent " << VERSION << "\n"; }},
      {"-h", [&] { help_command(args); }},
      {"--help", [&] { help_command(args); }},
      {"help", [&] { help_command(args); }},
  };
  add_maintenance_commands(commands, args);
  const auto command = commands.find(args[1]);
  if (command == commands.end()) return false;
  if (!usage_handled(args)) command->second();
  // Output that could not be written (a full disk, for example) is a failure, not a success.
  errno = 0;
  if (!std::cout.flush()) {
    const int error = errno;
    std::cerr << "Error: could not write the output" << (error ? ": " : "")
              << (error ? std::strerror(error) : "") << "\n"
              << std::flush;
    std::exit(1);
  }
  return true;
}

}  // namespace vellora
