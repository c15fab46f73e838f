#include "idprot/idcookie.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t kKeySize = 32;

// The process's key, drawn on first use. Without the system's randomness the
// cookies would be guessable, so the key then comes from the clock and the
// address of the key itself mixed by the hash: weak, but never all zero.
const unsigned char* Key() {
  static unsigned char key[kKeySize];
  static std::once_flag once;
  std::call_once(once, [] {
    if (::getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
      timespec ts{};
      ::clock_gettime(CLOCK_MONOTONIC, &ts);
      const void* seed[2] = {&ts, key};
      unsigned int n = 0;
      ::HMAC(EVP_sha256(), &ts, sizeof ts, reinterpret_cast<const unsigned char*>(seed), sizeof seed, key, &n);
    }
  });
  return key;
}

void Make(const in6_addr& address, long long slot, std::uint8_t out[kIdCookieSize]) {
  unsigned char message[16 + 8];
  std::memcpy(message, &address, 16);
  for (int i = 0; i < 8; ++i)
    message[16 + i] = static_cast<unsigned char>(static_cast<unsigned long long>(slot) >> (56 - 8 * i));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (::HMAC(EVP_sha256(), Key(), kKeySize, message, sizeof message, digest, &n) == nullptr || n < kIdCookieSize) {
    // No cookie can be made: one that nothing matches (all zero is refused).
    std::memset(out, 0, kIdCookieSize);
    return;
  }
  std::memcpy(out, digest, kIdCookieSize);
}

}  // namespace

void idcookie_Make(const in6_addr& address, long long nowMs, std::uint8_t out[kIdCookieSize]) {
  Make(address, nowMs / kIdCookieSlotMs, out);
}

bool idcookie_Valid(const in6_addr& address, const std::uint8_t cookie[kIdCookieSize], long long nowMs) {
  static constexpr std::uint8_t kZero[kIdCookieSize] = {};
  if (std::memcmp(cookie, kZero, kIdCookieSize) == 0) return false;
  const long long slot = nowMs / kIdCookieSlotMs;
  for (long long s : {slot, slot - 1}) {
    std::uint8_t expected[kIdCookieSize];
    Make(address, s, expected);
    if (CRYPTO_memcmp(expected, cookie, kIdCookieSize) == 0) return true;
  }
  return false;
}
