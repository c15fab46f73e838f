// Feeds arbitrary bytes to the CRY header check as a container file and to the
// header walk directly, checking what an answer may be: a known result code,
// an offset that was either the header's or 0, and a score that the found
// elements explain.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/identity.h"
#include "security/cryheader.h"
#include "security/decrypt.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// A container name that passes the name test, linked to an in-memory file.
std::string ContainerPath(int fd) {
  char folder[] = "/tmp/kv-cry-fuzz.XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  const std::string link = std::string(folder) + "/fuzz.CRY";
  if (::symlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link.c_str()) != 0) std::abort();
  return link;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("kv-cry-fuzz", MFD_CLOEXEC);
  static const std::string path = ContainerPath(fd);
  static const bool configured = (config_SetPlatform(kImageTypeKv2Touch), true);
  (void)configured;
  if (::ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

  int offset = -424242;
  const int result = Decrypt_CheckInstallerFile(&offset, path.c_str());
  Check(result == kCryHeaderOk || result == kCryFakeHeader);
  if (result == kCryFakeHeader) Check(offset == 0);

  const std::size_t n = size < kCryHeaderReadSize ? size : kCryHeaderReadSize;
  const CryHeaderScan scan = cry_ScanHeader(cry_HeaderText(reinterpret_cast<const char*>(data), n), "KV2_TOUCH");
  Check((scan.score >= kCryAcceptScore) == (result == kCryHeaderOk));
  if (result == kCryHeaderOk) Check(offset == scan.offset);
  int counted = 0;
  for (const CryHeaderElement& e : scan.elements) {
    Check(!e.value.empty());
    Check(e.key.size() + e.value.size() < kCryLineLimit);
    counted += e.counted ? 1 : 0;
  }
  // A platform line can count twice at most ("all" and the identifier are
  // different texts, so in practice once).
  Check(scan.score >= counted && scan.score <= 2 * counted);
  return 0;
}
