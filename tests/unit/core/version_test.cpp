#include "core/version.h"

#include <gtest/gtest.h>

namespace {

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// The order dpkg --compare-versions gives.
TEST(Version, OrdersLikeTheDebianPackageTools) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"1.0", "1.0", 0},
      {"1.0", "1.1", -1},
      {"1.10", "1.9", 1},  // digits compare as numbers
      {"1.01", "1.1", 0},  // leading zeros do not count
      {"3.8", "3.10", -1},
      {"1.0", "1.0.1", -1},
      {"1.0~rc1", "1.0", -1},  // a tilde sorts before the end
      {"1.0~rc1", "1.0~rc2", -1},
      {"1.0a", "1.0", 1},
      {"1.0a", "1.0+", -1},      // letters before other characters
      {"1.0-r0", "1.0-r1", -1},  // the revision decides last
      {"1.2.3-r0", "1.2.3", 1},
      {"2.0-1", "10.0-0", -1},
      {"1:1.0", "9.9", 1},  // the epoch decides first
      {"0:1.0", "1.0", 0},
      {"1:1.0", "2:0.1", -1},
      {"1.0-a-b", "1.0-a-c", -1},  // the revision follows the last dash
      {"kv-image-3.2.1", "kv-image-4.0.0", -1},
      {"kv-image-3.2.1", "kv-image-3.2.1", 0},
      {"rev-7", "rev-8", -1},
      {"1.0~", "1.0", -1},
      {"1.0", "1.0a~", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(version_Compare(c.a, c.b)), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(Sign(version_Compare(c.b, c.a)), -c.order) << c.b << " vs " << c.a;
  }
}

}  // namespace
