#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

#include "common/text.h"
#include "platform/crypto.h"

namespace vellora::platform {

struct Sha256::State {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) {
    std::fputs("SHA-256 is not available\n", stderr);
    std::abort();
  }
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) { EVP_DigestUpdate(state_->ctx, bytes.data(), bytes.size()); }

Digest Sha256::finish() {
  Digest digest{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->ctx, digest.data(), &size);
  return digest;
}

Digest sha256(std::string_view bytes) {
  Digest digest{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

std::string sha256_hex(std::string_view bytes) {
  const Digest digest = sha256(bytes);
  return hex_lower(digest.data(), digest.size());
}

void random_bytes(unsigned char* buffer, std::size_t size) {
  if (RAND_bytes(buffer, static_cast<int>(size)) != 1) {
    std::fputs("the system's random generator failed\n", stderr);
    std::abort();
  }
}

std::uint32_t random_u32() {
  unsigned char bytes[4];
  random_bytes(bytes, sizeof bytes);
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace vellora::platform
