#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/crypto.h"

namespace vellora::platform {
namespace {

[[noreturn]] void fail(const char* what) {
  std::fputs(what, stderr);
  std::abort();
}

// The algorithm provider is opened once and shared by every hash (it is thread-safe).
BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
      fail("SHA-256 is not available\n");
    return handle;
  }();
  return provider;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(
          BCryptCreateHash(sha256_provider(), &state_->hash, nullptr, 0, nullptr, 0, 0)))
    fail("SHA-256 is not available\n");
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
  // BCryptHashData takes at most 4 GiB at a time.
  while (!bytes.empty()) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), 1u << 30));
    BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), chunk,
                   0);
    bytes.remove_prefix(chunk);
  }
}

Digest Sha256::finish() {
  Digest digest{};
  BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  return digest;
}

Digest sha256(std::string_view bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish();
}

void random_bytes(unsigned char* buffer, std::size_t size) {
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, buffer, static_cast<ULONG>(size),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    fail("the system's random generator failed\n");
}

}  // namespace vellora::platform
