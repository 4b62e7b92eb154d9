#include "service/unit_files.h"

#include "platform/env.h"

namespace vellora {
namespace {

// One double-quoted word of a unit's command line: "\" and """ escaped, "%" (specifiers) and "$"
// (variables) doubled.
std::string systemd_quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out + "\"";
}

// One double-quoted argument of a desktop entry's Exec key: """, "`", "$" and "\" escaped inside
// the quotes, then "\" escaped again as the key is a string, and "%" (field codes) doubled.
std::string desktop_quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

}  // namespace

std::string systemd_unit_text(const std::filesystem::path& installed) {
  return "[Unit]\n"
         "Description=Vellora compile agent\n"
         "\n"
         "[Service]\n"
         "ExecStart=" +
         systemd_quoted(platform::path_text(installed)) +
         " background\n"
         "Restart=on-failure\n"
         // Stopping the unit ends the agent only: an update that the agent started (from the
         // tray) stops the agent and must live on to restart the unit.
         "KillMode=process\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::string autostart_entry_text(const std::filesystem::path& installed) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Vellora agent\n"
         "Comment=Local compile agent of the Vellora editor\n"
         "Exec=" +
         desktop_quoted(platform::path_text(installed)) +
         " launch\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

}  // namespace vellora
