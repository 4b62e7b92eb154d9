#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// Uploads, which are never held whole.
inline constexpr std::size_t MAX_BODY_BYTES = std::size_t{256} << 20;
// Bodies parsed into a value: the largest is a list of 100,000 files with paths of up to 400
// bytes.
inline constexpr std::size_t MAX_FILE_LIST_BODY_BYTES = std::size_t{64} << 20;
// Routes that anyone may call without a token, and the small requests (SyncTeX, cancel).
inline constexpr std::size_t MAX_UNAUTHENTICATED_BODY_BYTES = 64 * 1024;
inline constexpr std::size_t MAX_SMALL_BODY_BYTES = 64 * 1024;

// Something that takes a JSON text piece by piece; its error is the parser's text.
using JsonFeed = std::function<std::expected<void, std::string>(std::string_view)>;

// Reads the body (at most `limit` bytes) and hands it to `feed` while it arrives. After the feed
// has failed the rest is still read, so that a larger body still says "body too large". Errors,
// first applicable first: the read error, "body too large", "invalid JSON: " + the feed's error.
std::expected<void, std::string> read_body_into(BodySource& source, const JsonFeed& feed,
                                                std::size_t limit = MAX_BODY_BYTES);

// Reads the body (at most `limit` bytes) and parses it as one JSON value while it arrives: the
// body is never held as text, only as the parsed value.
// `repeated_keys`, when given, receives where the text repeated a key (JsonStreamParser).
std::expected<json::value, std::string> read_json_body(
    BodySource& source, std::size_t limit = MAX_BODY_BYTES,
    std::vector<std::string>* repeated_keys = nullptr);

}  // namespace vellora
