#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace vellora {

// Parses one JSON value handed over in pieces, so a request body never has to exist as one text:
// the parsed value is the only copy. The tree may hold no more than a few times its text: a text
// of tiny values that would cost more ("[0,0,0,...]") is refused while it arrives. `size_hint`,
// the announced size, is not needed.
class JsonStreamParser {
 public:
  explicit JsonStreamParser(std::optional<std::uint64_t> size_hint = std::nullopt);
  ~JsonStreamParser();
  JsonStreamParser(const JsonStreamParser&) = delete;
  JsonStreamParser& operator=(const JsonStreamParser&) = delete;

  // After the value only blanks, tabs, CR and LF may follow. Errors name the line and column.
  std::expected<void, std::string> feed(std::string_view piece);
  std::expected<json::value, std::string> finish();

  // Where the text repeated a key of an object (whose last value the tree keeps), as JSON
  // Pointers ("/files/0/path"), in the order met; at most MAX_REPEATED_KEYS of them.
  static constexpr std::size_t MAX_REPEATED_KEYS = 64;
  const std::vector<std::string>& repeated_keys() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vellora
