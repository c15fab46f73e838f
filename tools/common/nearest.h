// The nearest known word to a mistyped one, for the host tools' "unknown
// option --sing-key; did you mean --sign-key?" messages. Header-only, so that
// every tool can use it without another library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kvtools {

// The edit distance (insertions, deletions, substitutions, and the swap of
// two neighbouring characters) between a and b.
inline std::size_t EditDistance(std::string_view a, std::string_view b) {
  // Three rows: the swap looks two rows back.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[b.size()];
}

// The word of known nearest to given, or "" when none is near enough to be
// a likely typing mistake: at most a third of the longer word's characters
// differ (and at least one may). Ties go to the earlier word in known.
template <typename Words>
std::string NearestWord(std::string_view given, const Words& known) {
  std::string best;
  std::size_t bestDistance = 0;
  for (const auto& word : known) {
    const std::string_view candidate(word);
    if (candidate.empty()) continue;
    const std::size_t distance = EditDistance(given, candidate);
    const std::size_t allowed = std::max<std::size_t>(1, std::max(given.size(), candidate.size()) / 3);
    if (distance > allowed) continue;
    if (best.empty() || distance < bestDistance) {
      best = std::string(candidate);
      bestDistance = distance;
    }
  }
  return best;
}

// The same for a command-line option as typed ("--sing-key" or
// "--sing-key=x"): compares the names without their leading dashes and any
// "=value", and gives the suggestion with two dashes, or "".
template <typename Words>
std::string NearestOption(std::string_view typed, const Words& longNames) {
  while (!typed.empty() && typed.front() == '-') typed.remove_prefix(1);
  if (const std::size_t eq = typed.find('='); eq != std::string_view::npos) typed = typed.substr(0, eq);
  const std::string nearest = NearestWord(typed, longNames);
  return nearest.empty() ? std::string() : "--" + nearest;
}

}  // namespace kvtools
