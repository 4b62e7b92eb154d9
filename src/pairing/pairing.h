#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// Creates a fresh one-time code ("XXXX-XXXX-XXXX", valid 300 s), replacing any pending one; an
// error when it could not be stored.
std::expected<std::string, std::string> issue_code(const std::filesystem::path& config_dir);

// POST /v1/pair/request: issues a code, copies it to the clipboard and shows it on the desktop.
Reply pair_request(const AllowedOrigin& origin);

// POST /v1/pair/confirm: trades the code for a token.
Reply pair_confirm(const json::value& body, const std::string& origin_header,
                   const AllowedOrigin& origin);

// The notification text for a code.
std::string pairing_notification_body(const std::string& code, bool copied);

}  // namespace vellora
