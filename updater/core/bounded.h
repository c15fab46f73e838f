// Bounded copies into the fixed-size text buffers of the daemon's records.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace kv {

// Copies at most maxChars characters of src into dst (dstSize bytes) and always
// terminates it; maxChars is further limited by the room in dst. Returns the
// number of characters copied.
inline std::size_t CopyBounded(char* dst, std::size_t dstSize, std::string_view src,
                               std::size_t maxChars = static_cast<std::size_t>(-1)) noexcept {
  if (dstSize == 0) return 0;
  std::size_t n = src.size();
  if (n > maxChars) n = maxChars;
  if (n > dstSize - 1) n = dstSize - 1;
  if (n > 0) std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

template <std::size_t N>
std::size_t CopyBounded(std::array<char, N>& dst, std::string_view src,
                        std::size_t maxChars = static_cast<std::size_t>(-1)) noexcept {
  return CopyBounded(dst.data(), N, src, maxChars);
}

template <std::size_t N>
std::size_t CopyBounded(char (&dst)[N], std::string_view src,
                        std::size_t maxChars = static_cast<std::size_t>(-1)) noexcept {
  return CopyBounded(dst, N, src, maxChars);
}

}  // namespace kv
