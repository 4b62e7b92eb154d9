#include "project/blob_store.h"

#include <algorithm>
#include <chrono>

#include "common/base64.h"
#include "common/file.h"
#include "common/text.h"
#include "dirs/dirs.h"
#include "http/json_reply.h"
#include "platform/crypto.h"
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

bool store_blob(const std::string& digest, std::string_view content) {
  const fs::path target = blobs_dir() / digest;
  unsigned char nonce[8];
  platform::random_bytes(nonce, sizeof nonce);
  const fs::path tmp =
      blobs_dir() / (std::string(TEMPORARY_PREFIX) + hex_lower(nonce, sizeof nonce));
  if (!platform::write_file_durable(tmp, content)) {
    remove_quietly(tmp);
    return false;
  }
  // Work directories share the blob's storage through hard links: a tool that opened one of the
  // project's files for writing would otherwise change the stored content under its digest.
  platform::make_read_only(tmp);
  std::error_code ec;
  fs::rename(tmp, target, ec);
  if (ec) {
    remove_quietly(tmp);
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

Reply prepare_endpoint(const json::value& body, const AllowedOrigin& origin) {
  static const json::value null_value = nullptr;
  const json::value* files = &null_value;
  if (const auto* object = body.if_object())
    if (const auto* f = object->if_contains("files")) files = f;
  const auto refs = decode_file_refs(*files);
  if (!refs) return error_reply(400, origin, "invalid list: " + refs.error());
  json::array need;
  for (const FileRef& ref : *refs) {
    const auto path = blob_path(ref.sha256);
    if (!path) return error_reply(400, origin, "invalid hash");
    if (metadata_readable(*path)) continue;
    const std::string id = to_lower_ascii(ref.sha256);
    if (std::find(need.begin(), need.end(), json::value(id)) == need.end())
      need.push_back(json::value(id));
  }
  return json_reply(200, origin, json::object{{"need", std::move(need)}});
}

Reply blobs_endpoint(json::value body, const AllowedOrigin& origin) {
  json::array* blobs = nullptr;
  if (auto* object = body.if_object())
    if (auto* b = object->if_contains("blobs")) blobs = b->if_array();
  if (blobs == nullptr) return error_reply(400, origin, "no blobs");
  std::error_code ec;
  fs::create_directories(blobs_dir(), ec);
  std::uint64_t stored = 0;
  for (auto& element : *blobs) {
    auto* object = element.if_object();
    if (object == nullptr) continue;
    auto* sha = object->if_contains("sha256");
    auto* b64 = object->if_contains("b64");
    if (sha == nullptr || b64 == nullptr || !sha->is_string() || !b64->is_string()) continue;
    // Decoded in place: the text is not needed afterwards, and a large upload then needs no
    // second buffer.
    json::string& text = b64->get_string();
    const auto size = base64_decode_into(text, text.data());
    if (!size) return error_reply(400, origin, "invalid base64");
    const std::string_view content(text.data(), *size);
    const std::string digest = platform::sha256_hex(content);
    if (!iequals_ascii(digest, sha->get_string()))
      return error_reply(400, origin, "the content does not match the hash");
    if (!metadata_readable(blobs_dir() / digest) && store_blob(digest, content)) ++stored;
    *b64 = nullptr;  // released before the next content
  }
  return json_reply(200, origin, json::object{{"stored", stored}});
}

}  // namespace vellora
