#include "core/version.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Weight of a character in a run of non-digits; the end of the text is 0.
int Order(char c) {
  if (IsDigit(c)) return 0;
  if (IsAlpha(c)) return static_cast<unsigned char>(c);
  if (c == '~') return -1;
  if (c != '\0') return static_cast<unsigned char>(c) + 256;
  return 0;
}

// One part (upstream or revision), run by run.
int ComparePart(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  auto at = [](std::string_view s, std::size_t k) { return k < s.size() ? s[k] : '\0'; };
  while (i < a.size() || j < b.size()) {
    while ((i < a.size() && !IsDigit(a[i])) || (j < b.size() && !IsDigit(b[j]))) {
      const int ac = Order(at(a, i));
      const int bc = Order(at(b, j));
      if (ac != bc) return ac - bc;
      ++i;
      ++j;
    }
    while (at(a, i) == '0') ++i;
    while (at(b, j) == '0') ++j;
    int firstDiff = 0;
    while (IsDigit(at(a, i)) && IsDigit(at(b, j))) {
      if (firstDiff == 0) firstDiff = at(a, i) - at(b, j);
      ++i;
      ++j;
    }
    if (IsDigit(at(a, i))) return 1;
    if (IsDigit(at(b, j))) return -1;
    if (firstDiff != 0) return firstDiff;
  }
  return 0;
}

struct Parts {
  unsigned long long epoch = 0;
  std::string_view upstream;
  std::string_view revision;
};

Parts Split(std::string_view v) {
  Parts p;
  if (const std::size_t colon = v.find(':'); colon != std::string_view::npos) {
    for (const char c : v.substr(0, colon)) {
      if (!IsDigit(c)) break;
      // Epochs are small; a huge one is simply the largest.
      p.epoch = p.epoch > 100000000ULL ? p.epoch : p.epoch * 10 + static_cast<unsigned>(c - '0');
    }
    v.remove_prefix(colon + 1);
  }
  if (const std::size_t dash = v.rfind('-'); dash != std::string_view::npos) {
    p.revision = v.substr(dash + 1);
    v = v.substr(0, dash);
  }
  p.upstream = v;
  return p;
}

}  // namespace

int version_Compare(std::string_view a, std::string_view b) {
  const Parts pa = Split(a);
  const Parts pb = Split(b);
  if (pa.epoch != pb.epoch) return pa.epoch < pb.epoch ? -1 : 1;
  if (const int r = ComparePart(pa.upstream, pb.upstream); r != 0) return r;
  return ComparePart(pa.revision, pb.revision);
}
