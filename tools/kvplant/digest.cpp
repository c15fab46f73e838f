#include "kvplant/digest.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "kvplant/plant.h"

namespace kvplant {

Sha256::Sha256() : md_(EVP_MD_CTX_new()) { ok_ = md_ && EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) == 1; }

void Sha256::Add(const void* data, std::size_t n) { ok_ = ok_ && EVP_DigestUpdate(md_.get(), data, n) == 1; }

std::string Sha256::Hex() {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  ok_ = ok_ && EVP_DigestFinal_ex(md_.get(), digest.data(), &length) == 1;
  while (::ERR_get_error() != 0) {
  }
  return ok_ ? kvplant::Hex(digest.data(), length) : std::string();
}

std::string Hex(const unsigned char* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

kv::Result<std::pair<std::uint64_t, std::string>> HashFile(const std::string& path) {
  const kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!fd) return kv::SystemError("cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return kv::SystemError("cannot read " + path);
  if (!S_ISREG(st.st_mode)) return kv::Error(0, path + " is not a regular file");
  Sha256 digest;
  std::array<unsigned char, 1 << 16> buf{};
  std::uint64_t size = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("cannot read " + path);
    if (n == 0) break;
    digest.Add(buf.data(), static_cast<std::size_t>(n));
    size += static_cast<std::uint64_t>(n);
  }
  std::string hex = digest.Hex();
  if (hex.empty()) return kv::Error(0, "SHA-256 of " + path + " failed");
  return std::make_pair(size, std::move(hex));
}

}  // namespace kvplant
