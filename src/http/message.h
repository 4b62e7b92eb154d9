#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>

#include "common/headers.h"

namespace vellora {

// A request as the gate sees it before its body is read.
struct Request {
  std::string method;
  std::string target;  // path plus optional query, as sent
  Headers headers;
};

// Reads the body on demand, so that a refused request never has its body read.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // The whole body; the error "body too large" when it is longer than `max_bytes`, or the I/O
  // error's text.
  virtual std::expected<std::string, std::string> read(std::size_t max_bytes) = 0;
};

struct Reply {
  unsigned status = 200;
  Headers headers;
  std::string body;
};

// The Origin header's value when it is in the allow-list; it is echoed in CORS headers.
using AllowedOrigin = std::optional<std::string>;

}  // namespace vellora
