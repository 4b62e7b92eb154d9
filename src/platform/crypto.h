#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace vellora::platform {

using Digest = std::array<unsigned char, 32>;

// Incremental SHA-256 (the system library, which uses the processor's SHA instructions).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view bytes);
  Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Digest sha256(std::string_view bytes);

// 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// The same of a file's content, read in pieces of 64 KiB; the error is the system's text.
std::expected<std::string, std::string> sha256_file(const std::filesystem::path& path);

// Fills the buffer from the operating system's cryptographically secure generator.
// Aborts the process if the generator fails: no token or code may come from a weak source.
void random_bytes(unsigned char* buffer, std::size_t size);
std::uint32_t random_u32();

}  // namespace vellora::platform
