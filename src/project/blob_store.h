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

// A fresh name for a temporary file in the store (".tmp-" and 16 random hexadecimal digits).
std::filesystem::path new_blob_temp_path();

// Publishes a flushed temporary file of the store under its digest: made read-only, then renamed,
// so no reader ever sees a partial blob under a digest name. The temporary file is removed when
// it fails.
bool publish_blob(const std::filesystem::path& temp, const std::string& digest);

// Stores content under its digest through a temporary file and `publish_blob`. False when it
// failed.
bool store_blob(const std::string& digest, std::string_view content);

// Deletes the temporary files that interrupted uploads left in the store more than an hour ago.
void remove_stale_blob_temporaries();

// The most files one project may list.
inline constexpr std::size_t MAX_PROJECT_FILES = 100000;

// POST /v1/prepare: which of the listed digests the agent lacks.
// `repeated_keys`: where the body's text repeated a key (JSON Pointers).
Reply prepare_endpoint(json::value body, const AllowedOrigin& origin,
                       const std::vector<std::string>& repeated_keys = {});

}  // namespace vellora
