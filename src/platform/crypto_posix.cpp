#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

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

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(state_->ctx, bytes.data(), bytes.size());
}

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

void random_bytes(unsigned char* buffer, std::size_t size) {
  if (RAND_bytes(buffer, static_cast<int>(size)) != 1) {
    std::fputs("the system's random generator failed\n", stderr);
    std::abort();
  }
}

}  // namespace vellora::platform
