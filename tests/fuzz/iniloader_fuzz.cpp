// Feeds arbitrary bytes to the daemon's INI loader as a file and checks what
// an accepted file may hold: lower-case keys, fields within their widths,
// and a dictionary the library's getters can walk.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/iniloader.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One in-memory file for the whole run, rewritten for each input.
  static const int fd = ::memfd_create("kv-ini-fuzz", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0) return 0;
  if (::ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

  const kv::Dictionary dict(kv::iniparser_load(path.c_str()));
  if (!dict) return 0;

  for (ssize_t i = 0; i < dict->size; ++i) {
    const char* key = dict->key[i];
    if (key == nullptr) continue;
    const std::size_t keyLength = std::strlen(key);
    Check(keyLength <= 2 * kv::kIniFieldWidth + 1);
    for (std::size_t k = 0; k < keyLength; ++k) Check(!std::isupper(static_cast<unsigned char>(key[k])));
    if (dict->val[i] != nullptr) Check(std::strlen(dict->val[i]) <= kv::kIniFieldWidth);
    (void)::iniparser_getstring(dict.get(), key, nullptr);
  }
  const int sections = ::iniparser_getnsec(dict.get());
  for (int s = 0; s < sections; ++s) Check(::iniparser_getsecname(dict.get(), s) != nullptr);
  return 0;
}
