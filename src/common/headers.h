#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellora {

// HTTP header fields in the order the client sent them.
using Headers = std::vector<std::pair<std::string, std::string>>;

// The value of the first field whose name equals `name` ignoring ASCII case.
std::optional<std::string_view> header_value(const Headers& headers, std::string_view name);

}  // namespace vellora
