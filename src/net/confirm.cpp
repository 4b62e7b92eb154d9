#include "net/confirm.h"

#include <iostream>

#include "common/text.h"
#include "platform/program.h"

namespace vellora::net {

std::expected<bool, std::string> confirm(const std::string& question, bool assume_yes) {
  if (assume_yes) return true;
  return confirm_on(question, false, platform::stdin_is_terminal(), std::cin, std::cout);
}

std::expected<bool, std::string> confirm_on(const std::string& question, bool assume_yes,
                                            bool terminal, std::istream& in, std::ostream& out) {
  if (assume_yes) return true;
  if (!terminal)
    return std::unexpected(std::string("no terminal to ask on: run it in a terminal or use --yes"));
  out << question << " [y/N] " << std::flush;
  std::string line;
  std::getline(in, line);
  if (in.bad()) return std::unexpected(std::string("could not read the answer"));
  const std::string answer = to_lower_ascii(trim(line));
  return answer == "y" || answer == "yes";
}

}  // namespace vellora::net
