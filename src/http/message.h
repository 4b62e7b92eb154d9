#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/headers.h"
#include "platform/process.h"

namespace vellora {

// A request as the gate sees it before its body is read.
struct Request {
  std::string method;
  std::string target;  // path plus optional query, as sent
  Headers headers;
  // Cancelled when the client closes its connection while the request is handled; a compile
  // then stops. None where no connection is watched.
  std::shared_ptr<platform::Cancellation> client_gone;
};

// Reads the body on demand, so that a refused request never has its body read.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // The size the client announced (Content-Length), when it did.
  virtual std::optional<std::uint64_t> announced_length() const = 0;
  // Reads the body to its end, handing it over piece by piece; reading stops early when `consume`
  // answers false. The error is the I/O error's text.
  virtual std::expected<void, std::string> read(
      const std::function<bool(std::string_view)>& consume) = 0;
};

struct Reply {
  unsigned status = 200;
  Headers headers;
  std::string body;
};

// The Origin header's value when it is in the allow-list; it is echoed in CORS headers.
using AllowedOrigin = std::optional<std::string>;

}  // namespace vellora
