// Time values on a target whose time_t may be 32 bits (Debian 12 armhf): the
// install lock's epoch seconds are written in full and compared as 64-bit
// numbers, so a lock written by a device with a clock past 2038 (or read on
// one) is judged by its real age.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

#include "core/paths.h"
#include "intake/cleanup.h"
#include "support/capture.h"

namespace {

class LockTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    watch_ = paths_WatchFolder();
    std::filesystem::create_directories(watch_);
  }
  void TearDown() override { paths_SetRoot(""); }
  int ExpiredWithStamp(const std::string& stamp) {
    kvtest::WriteFile(watch_ + kLockName,
                      "created: 2024-1-1 0:0:0\ntimestamp: " + stamp + "\nInstall file: /opt/kv2/swfw/a.ipk\n");
    return scandir_LockfileExpired(watch_.c_str(), kLockName, kLockExpirySeconds);
  }
  kvtest::TempDir dir_;
  std::string watch_;
};

TEST_F(LockTimeTest, WrittenStampIsTheWholeEpochSecondCount) {
  const long long before = static_cast<long long>(std::time(nullptr));
  scandir_CreateLockfile(watch_.c_str(), kLockName, "/opt/kv2/swfw/a.ipk");
  const long long after = static_cast<long long>(std::time(nullptr));
  const std::string lock = kvtest::ReadFile(watch_ + kLockName);
  const std::size_t at = lock.find("\ntimestamp: ");
  ASSERT_NE(at, std::string::npos) << lock;
  const long long stamp = std::stoll(lock.substr(at + 12));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(scandir_LockfileExpired(watch_.c_str(), kLockName, kLockExpirySeconds), 0);
}

TEST_F(LockTimeTest, AgeIsComparedWithoutNarrowing) {
  const long long now = static_cast<long long>(std::time(nullptr));
  constexpr long long k2038 = 2147483647LL;  // last second a signed 32-bit count holds
  struct Case {
    const char* what;
    long long stamp;
    int expired;
  };
  const Case cases[] = {
      {"fresh", now, 0},
      {"within the expiry", now - kLockExpirySeconds + 60, 0},
      {"past the expiry", now - kLockExpirySeconds - 60, 1},
      {"long ago", 1000, 1},
      {"a minute ahead (clocks of two writers)", now + 60, 0},
      // A stamp further ahead than the expiry is stale, whatever its width: a
      // 32-bit reading would wrap these to an ancient stamp or cut them to
      // the maximum, a 64-bit one sees them in the future; both are stale,
      // and none overflows the comparison.
      {"last 32-bit second", k2038, k2038 > now + kLockExpirySeconds || k2038 < now - kLockExpirySeconds ? 1 : 0},
      {"first second past 2038", k2038 + 1, 1},
      {"year 2106 (past unsigned 32 bits)", 4294967296LL + 100, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExpiredWithStamp(std::to_string(c.stamp)), c.expired) << c.what << " " << c.stamp;
  }
}

// A lock that says nothing usable is stale, so the loop cannot stay blocked.
TEST_F(LockTimeTest, UnreadableStampsCountAsExpired) {
  for (const char* stamp : {"", "abc", "-"}) EXPECT_EQ(ExpiredWithStamp(stamp), 1) << "'" << stamp << "'";
}

}  // namespace
