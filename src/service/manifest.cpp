#include "service/manifest.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "common/json.h"
#include "common/text.h"
#include "net/fetch.h"
#include "platform/env.h"

namespace vellora {
namespace {

std::vector<std::uint64_t> version_numbers(std::string_view version) {
  std::vector<std::uint64_t> numbers;
  for (std::string_view piece : split(version, '.')) {
    piece = piece.substr(0, piece.find_first_of("-+"));
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    numbers.push_back(ec == std::errc() && end == piece.data() + piece.size() ? value : 0);
  }
  return numbers;
}

const json::string* string_member(const json::value& root, std::string_view key) {
  if (!root.is_object()) return nullptr;
  const json::value* value = root.get_object().if_contains(key);
  return value != nullptr && value->is_string() ? &value->get_string() : nullptr;
}

}  // namespace

std::string manifest_digest_member() {
  return platform::on_windows() ? "sha256_windows" : "sha256_linux";
}

std::string release_asset_name() {
  return platform::on_windows() ? "vellora-agent-windows-x86_64.exe" : "vellora-agent-linux-x86_64";
}

bool valid_version(std::string_view version) {
  if (version.empty() || version.size() > 20) return false;
  std::size_t groups = 0;
  for (std::string_view group : split(version, '.')) {
    ++groups;
    if (group.empty()) return false;
    for (char c : group)
      if (c < '0' || c > '9') return false;
  }
  return groups <= 3;
}

std::expected<UpdateManifest, std::string> parse_manifest(std::string_view text,
                                                          std::string_view digest_member) {
  const auto root = parse_json(text);
  if (!root) return std::unexpected("invalid version.json: " + root.error());
  const json::string* version = string_member(*root, "version");
  if (version == nullptr || !valid_version(*version))
    return std::unexpected(std::string("version.json without a valid version"));
  const json::string* digest = string_member(*root, digest_member);
  bool digest_ok = digest != nullptr && digest->size() == 64;
  if (digest_ok)
    for (char c : *digest) digest_ok = digest_ok && is_hex_digit(c);
  if (!digest_ok)
    return std::unexpected(std::string(
        "version.json without a valid SHA-256 for this platform: I will not update without being "
        "able to verify"));
  return UpdateManifest{std::string(*version), to_lower_ascii(*digest)};
}

std::expected<UpdateManifest, std::string> fetch_manifest(const std::string& origin) {
  const auto text = net::fetch_text(origin + "/static/agent/version.json");
  if (!text) return std::unexpected(text.error());
  return parse_manifest(*text);
}

bool is_newer(std::string_view candidate, std::string_view current) {
  auto a = version_numbers(candidate);
  auto b = version_numbers(current);
  const std::size_t size = std::max(a.size(), b.size());
  a.resize(size, 0);
  b.resize(size, 0);
  for (std::size_t i = 0; i < size; ++i)
    if (a[i] != b[i]) return a[i] > b[i];
  return false;
}

}  // namespace vellora
