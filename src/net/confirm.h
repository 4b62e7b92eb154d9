#pragma once

#include <expected>
#include <iosfwd>
#include <string>

namespace vellora::net {

// Asks "<question> [y/N] " on the terminal; yes exactly for "y" or "yes" in any case, with
// surrounding blanks. `assume_yes` answers yes without asking; without a terminal it is an error.
std::expected<bool, std::string> confirm(const std::string& question, bool assume_yes);

// The same dialogue on the given streams.
std::expected<bool, std::string> confirm_on(const std::string& question, bool assume_yes,
                                            bool terminal, std::istream& in, std::ostream& out);

}  // namespace vellora::net
