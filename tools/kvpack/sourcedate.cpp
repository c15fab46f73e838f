#include <cerrno>
#include <cstdlib>
#include <string>

#include "kvpack/kvpack.h"

namespace kvpack {

kv::Result<std::optional<std::time_t>> SourceDateEpoch() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (value == nullptr || *value == '\0') return std::optional<std::time_t>();
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(value, &end, 10);
  // Tar and ar headers carry the time in at most 11 and 12 digits: a later
  // time is no build date.
  constexpr long long kLatest = 077777777777LL;
  if (*end != '\0' || errno != 0 || seconds < 0 || seconds > kLatest || value[0] == '-' || value[0] == '+' ||
      value[0] == ' ') {
    return kv::Error(0, std::string("SOURCE_DATE_EPOCH must be a number of seconds since 1970, not \"") + value + "\"");
  }
  return std::optional<std::time_t>(static_cast<std::time_t>(seconds));
}

}  // namespace kvpack
