// The watch folder scan's FILETYPE reader over arbitrary header bytes.
#include <cstddef>
#include <cstdint>

#include "intake/scandir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int kind = scandir_CryTypeFromText(reinterpret_cast<const char*>(data), size);
  if (kind != 0 && kind != 1 && kind != 5) __builtin_trap();
  return 0;
}
