// Command-line helpers of kvid: durations with units, the nearest known word
// for a mistyped one, and the progress notes of -v.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "common/nearest.h"
#include "kvid/kvid.h"

namespace kvid {
namespace {

bool g_verbose = false;

}  // namespace

std::optional<long long> ParseDuration(std::string_view text, long long unitMs, long long minMs) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  long long scale = unitMs;
  if (unit == "ms") {
    scale = 1;
  } else if (unit == "s") {
    scale = 1000;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  constexpr long long kMostMs = 24LL * 3600 * 1000;
  if (value < 0 || value > kMostMs / scale) return std::nullopt;
  const long long ms = value * scale;
  if (ms < minMs) return std::nullopt;
  return ms;
}

std::string Nearest(std::string_view word, const std::vector<std::string>& known) {
  return kvtools::NearestWord(word, known);
}

void SetVerbose(bool on) { g_verbose = on; }

void Note(const std::string& text) {
  if (g_verbose) std::fprintf(stderr, "kvid: %s\n", text.c_str());
}

}  // namespace kvid
