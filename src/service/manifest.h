#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vellora {

// What the site announces in "static/agent/version.json".
struct UpdateManifest {
  std::string version;
  std::string sha256;  // lower case
};

// This build's release: "sha256_windows" and "vellora-agent-windows-x86_64.exe" on Windows,
// "sha256_linux" and "vellora-agent-linux-x86_64" on Linux.
std::string manifest_digest_member();
std::string release_asset_name();

// 1 to 20 bytes of 1 to 3 dot-separated groups of ASCII digits.
bool valid_version(std::string_view version);

std::expected<UpdateManifest, std::string> parse_manifest(
    std::string_view text, std::string_view digest_member = manifest_digest_member());
std::expected<UpdateManifest, std::string> fetch_manifest(const std::string& origin);

// Numeric comparison group by group; a group is read up to its first "-" or "+", and what does
// not parse counts as 0. Equal versions (1.0 and 1.0.0) are not newer.
bool is_newer(std::string_view candidate, std::string_view current);

}  // namespace vellora
