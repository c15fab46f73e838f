#include "intake/extfilter.h"

#include <strings.h>

#include <array>

#include "core/bounded.h"

namespace {

std::array<std::array<char, kExtFilterLength + 1>, kExtFilterSlots> gSlots{};

}  // namespace

void extfilter_Set(std::initializer_list<const char*> extensions) {
  for (auto& slot : gSlots) slot.fill('\0');
  std::size_t i = 0;
  for (const char* ext : extensions) {
    if (i == kExtFilterSlots) break;
    kv::CopyBounded(gSlots[i++], ext != nullptr ? ext : "", kExtFilterLength);
  }
}

int extfilter_Matches(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return 0;
  std::array<char, 512> ext{};
  kv::CopyBounded(ext, name.substr(dot + 1));
  for (const auto& slot : gSlots) {
    if (slot[0] == '\0') continue;
    if (strncasecmp(ext.data(), slot.data(), kExtFilterLength) == 0) return 1;
  }
  return 0;
}
