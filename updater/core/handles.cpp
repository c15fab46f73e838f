#include "core/handles.h"

#include <cstring>

namespace kv {

File OpenFile(const char* path, const char* mode) {
  // glibc's 'e' flag opens with O_CLOEXEC.
  char withCloexec[8];
  const std::size_t n = std::strlen(mode);
  if (n + 2 > sizeof withCloexec) return File(std::fopen(path, mode));
  std::memcpy(withCloexec, mode, n);
  withCloexec[n] = 'e';
  withCloexec[n + 1] = '\0';
  return File(std::fopen(path, withCloexec));
}

}  // namespace kv
