#include "common/headers.h"

#include "common/text.h"

namespace vellora {

std::optional<std::string_view> header_value(const Headers& headers, std::string_view name) {
  for (const auto& [key, value] : headers)
    if (iequals_ascii(key, name)) return std::string_view(value);
  return std::nullopt;
}

}  // namespace vellora
