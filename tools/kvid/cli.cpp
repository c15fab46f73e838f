// Command-line helpers of kvid: durations with units, the nearest known word
// for a mistyped one, and the progress notes of -v.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "kvid/kvid.h"

namespace kvid {
namespace {

bool g_verbose = false;

// Optimal string alignment distance: a swapped pair of letters is one slip.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

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
  const std::size_t allowed = std::clamp<std::size_t>(word.size() / 3, 1, 3);
  std::string best;
  std::size_t bestDistance = allowed + 1;
  for (const std::string& k : known) {
    const std::size_t d = Distance(word, k);
    if (d < bestDistance) {
      bestDistance = d;
      best = k;
    }
  }
  return best;
}

void SetVerbose(bool on) { g_verbose = on; }

void Note(const std::string& text) {
  if (g_verbose) std::fprintf(stderr, "kvid: %s\n", text.c_str());
}

}  // namespace kvid
