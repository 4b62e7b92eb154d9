#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// Content-addressed store: "<cache>/blobs/<sha256 in lower case>", written once, never changed.
std::filesystem::path blobs_dir();

// The file of a blob identifier (64 hexadecimal digits, either case); none for anything else.
std::optional<std::filesystem::path> blob_path(std::string_view id);

// The lower-case identifier when it is valid and its file is absent.
std::optional<std::string> blob_missing(std::string_view id);

// Stores content under its digest: written to a temporary file in the store, flushed, made
// read-only, then renamed, so no reader ever sees a partial blob under a digest name. False when
// it failed.
bool store_blob(const std::string& digest, std::string_view content);

// Deletes the temporary files that interrupted uploads left in the store more than an hour ago.
void remove_stale_blob_temporaries();

// POST /v1/prepare: which of the listed digests the agent lacks.
Reply prepare_endpoint(const json::value& body, const AllowedOrigin& origin);

// POST /v1/blobs: verifies and stores base64 contents. Takes the body by value so each content's
// text can be released as soon as it is decoded.
Reply blobs_endpoint(json::value body, const AllowedOrigin& origin);

}  // namespace vellora
