#include "intake/cleanup.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "support/capture.h"

namespace {

class CleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path() + "/";
    kvtest::StdoutCapture quiet;
    log_SetStdout(0);
    log_SetVerbose(3);
  }
  void Put(const std::string& name, const std::string& content = "") { kvtest::WriteFile(folder_ + name, content); }
  bool Has(const std::string& name) const { return kvtest::FileExists(folder_ + name); }
  kvtest::TempDir dir_;
  std::string folder_;
};

TEST_F(CleanupTest, DeletesByWholeExtensionIgnoringCase) {
  for (const char* name : {"a.IPK", "b.ipk", "x.IPKTMP", "install.lock", "control.tar.gz", "keep.txt"}) Put(name);
  EXPECT_EQ(scandir_Deletefiles(folder_.c_str(), "IPK"), 0);
  EXPECT_FALSE(Has("a.IPK"));
  EXPECT_FALSE(Has("b.ipk"));
  EXPECT_TRUE(Has("x.IPKTMP"));
  EXPECT_EQ(scandir_Deletefiles(folder_.c_str(), "IPKTMP"), 0);
  EXPECT_FALSE(Has("x.IPKTMP"));
  scandir_Deletefiles(folder_.c_str(), "LOCK");
  scandir_Deletefiles(folder_.c_str(), "GZ");
  EXPECT_FALSE(Has("install.lock"));
  EXPECT_FALSE(Has("control.tar.gz"));
  EXPECT_TRUE(Has("keep.txt"));
  EXPECT_EQ(scandir_Deletefiles((folder_ + "missing/").c_str(), "IPK"), 1);
}

TEST_F(CleanupTest, DeleteSomefilesLogsOnlyWhatItRemoved) {
  kvtest::SyslogCapture syslog;
  if (!syslog.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  log_SetIdent("kvupdaterd");
  Put("control");
  scandir_DeleteSomefiles(folder_.c_str(), {"control", "prerm", "postrm"});
  EXPECT_FALSE(Has("control"));
  const auto lines = syslog.Drain();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "scandir_DeleteSomefiles, deleting unused installer artefacts:  " + folder_ + "control\n");
}

TEST_F(CleanupTest, LockIsWrittenInThreeLinesAndExpiresAfter900Seconds) {
  const std::time_t before = std::time(nullptr);
  scandir_CreateLockfile(folder_.c_str(), kLockName, "/opt/kv2/swfw/app.ipk");
  const std::time_t after = std::time(nullptr);
  const std::string lock = kvtest::ReadFile(folder_ + kLockName);
  EXPECT_EQ(lock.rfind("created: ", 0), 0u);
  // The stamp is the time of writing: between the clock's readings around it
  // (a slow machine may cross a second meanwhile).
  bool stamped = false;
  for (std::time_t t = before; t <= after; ++t) {
    stamped = stamped || lock.find("\ntimestamp: " + std::to_string(t) + "\n") != std::string::npos;
  }
  EXPECT_TRUE(stamped) << lock;
  EXPECT_NE(lock.find("\nInstall file: /opt/kv2/swfw/app.ipk\n"), std::string::npos);
  EXPECT_EQ(scandir_LockfileExpired(folder_.c_str(), kLockName, kLockExpirySeconds), 0);

  const long long now = std::time(nullptr);
  struct Case {
    std::string content;
    int expired;
  };
  const Case cases[] = {
      // Allow a second of slack at the boundary for the clock ticking during the test.
      {"timestamp: " + std::to_string(now - 899) + "\n", 0},
      {"timestamp: " + std::to_string(now - 902) + "\n", 1},
      {"timestamp: abc\n", 1},
      {"created: x\nInstall file: y\n", 1},
      {"timestamp:\ntimestamp: " + std::to_string(now) + "\n", 0},
      {"timestamp:" + std::to_string(now), 0},
      // Further in the future than the expiry: written before the clock was
      // set back, or a file of the daemon's renamed to stop intake for good.
      {"timestamp: " + std::to_string(now + 899) + "\n", 0},
      {"timestamp: " + std::to_string(now + 902) + "\n", 1},
      {"timestamp: 9223372036854775807\n", 1},
      {"timestamp: -9223372036854775808\n", 1},
      {"", 1},
  };
  for (const Case& c : cases) {
    Put(kLockName, c.content);
    EXPECT_EQ(scandir_LockfileExpired(folder_.c_str(), kLockName, kLockExpirySeconds), c.expired) << c.content;
  }
  std::remove((folder_ + kLockName).c_str());
  EXPECT_EQ(scandir_LockfileExpired(folder_.c_str(), kLockName, kLockExpirySeconds), 0);
  EXPECT_EQ(scandir_FileExists(folder_.c_str(), kLockName), 0);
}

}  // namespace
