#include "toolchain/limits.h"

#include <charconv>

#include "platform/env.h"

namespace vellora {

int run_limit_secs() {
  constexpr int DEFAULT_SECS = 300;
  const auto value = platform::get_env("VELLORA_RUN_LIMIT_SECS");
  if (!value) return DEFAULT_SECS;
  int secs = 0;
  const auto [end, ec] =
      std::from_chars(value->text.data(), value->text.data() + value->text.size(), secs);
  if (ec != std::errc() || end != value->text.data() + value->text.size() || secs <= 0)
    return DEFAULT_SECS;
  return secs;
}

}  // namespace vellora
