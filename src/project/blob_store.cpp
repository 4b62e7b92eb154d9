#include "project/blob_store.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "common/file.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"
#include "platform/crypto.h"
#include "platform/file_writer.h"
#include "platform/files.h"
#include "project/file_refs.h"

namespace vellora {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view TEMPORARY_PREFIX = ".tmp-";

}  // namespace

fs::path blobs_dir() {
  return cache_dir() / "blobs";
}

std::optional<fs::path> blob_path(std::string_view id) {
  if (id.size() != 64) return std::nullopt;
  for (char c : id)
    if (!is_hex_digit(c)) return std::nullopt;
  return blobs_dir() / to_lower_ascii(id);
}

std::optional<std::string> blob_missing(std::string_view id) {
  const auto path = blob_path(id);
  if (!path || metadata_readable(*path)) return std::nullopt;
  return to_lower_ascii(id);
}

fs::path new_blob_temp_path() {
  unsigned char nonce[8];
  platform::random_bytes(nonce, sizeof nonce);
  return blobs_dir() / (std::string(TEMPORARY_PREFIX) + hex_lower(nonce, sizeof nonce));
}

bool publish_blob(const fs::path& temp, const std::string& digest) {
  // A stored blob never changes: read-only, no program that opens it by mistake can alter the
  // content under its digest.
  platform::make_read_only(temp);
  std::error_code ec;
  fs::rename(temp, blobs_dir() / digest, ec);
  if (ec) {
    remove_quietly(temp);
    return false;
  }
  return true;
}

void remove_stale_blob_temporaries() {
  // An upload in progress writes its temporary file within moments; one an hour old was left by
  // a process that ended in the middle of a write.
  constexpr auto STALE_AFTER = std::chrono::hours(1);
  const auto now = fs::file_time_type::clock::now();
  std::error_code ec;
  for (fs::directory_iterator it(blobs_dir(), ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->path().filename().string().starts_with(TEMPORARY_PREFIX)) continue;
    std::error_code time_error;
    const auto written = fs::last_write_time(it->path(), time_error);
    if (!time_error && now - written > STALE_AFTER) remove_quietly(it->path());
  }
}

bool store_blob(const std::string& digest, std::string_view content) {
  auto file = platform::DurableWriter::create(new_blob_temp_path());
  if (!file || !file->write(content) || !file->commit()) return false;
  return publish_blob(file->path(), digest);
}

Reply prepare_endpoint(json::value body, const AllowedOrigin& origin,
                       const std::vector<std::string>& repeated_keys) {
  static const json::value null_value = nullptr;
  const json::value* files = &null_value;
  if (const auto* object = body.if_object())
    if (const auto* f = object->if_contains("files")) files = f;
  auto refs = decode_file_refs(*files, repeated_keys, "/files");
  // The list is all that is needed now: a long one's tree is let go before the reply is built.
  body = nullptr;
  if (!refs) return error_reply(400, origin, "invalid list: " + refs.error());
  if (refs->size() > MAX_PROJECT_FILES)
    return error_reply(400, origin,
                       "invalid list: more than " + std::to_string(MAX_PROJECT_FILES) + " files");
  if (auto problem = unstorable_path(*refs)) return error_reply(400, origin, *problem);
  json::array need;
  std::unordered_set<std::string_view> listed;
  for (FileRef& ref : *refs) {
    const auto path = blob_path(ref.sha256);
    if (!path) return error_reply(400, origin, "invalid hash");
    if (metadata_readable(*path)) continue;
    ref.sha256 = to_lower_ascii(ref.sha256);
    if (listed.insert(ref.sha256).second) need.push_back(json::value(ref.sha256));
  }
  return json_reply(200, origin, json::object{{"need", std::move(need)}});
}

}  // namespace vellora
