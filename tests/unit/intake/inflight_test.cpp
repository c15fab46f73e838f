#include "intake/inflight.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "support/capture.h"

namespace {

class InFlightTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    ASSERT_EQ(::mkdir((dir_.path() + "/home").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir_.path() + "/home/root").c_str(), 0755), 0);
    kvtest::StdoutCapture quiet;
    log_SetStdout(0);
    log_SetVerbose(0);
    (void)inflight_Recover();  // no record of an earlier test in memory
  }
  void TearDown() override { paths_SetRoot(""); }
  std::string Record() const { return dir_.path() + "/home/root/" + kInFlightRecordName; }
  kvtest::TempDir dir_;
};

// What a pass does with the member in flight, and whether the record is
// there afterwards (and what it names).
TEST_F(InFlightTest, TheRecordGoesOnlyWhenTheMembersOwnRoadIsOver) {
  struct Case {
    const char* what;
    std::function<void()> steps;
    const char* left;  // record text afterwards, or null when it is gone
  };
  const Case cases[] = {
      {"installer started",
       [] {
         inflight_Taken("app.ipk");
         inflight_Installed();
         inflight_PassEnded(nullptr);
       },
       nullptr},
      {"refused with a logged reason",
       [] {
         inflight_Taken("app.ipk");
         inflight_PassEnded(nullptr);
       },
       nullptr},
      {"another file's pass",
       [] {
         inflight_Taken("user.ipk");
         inflight_Installed();
         inflight_PassEnded(nullptr);
       },
       "member: app.ipk\nfile: app.ipk\n"},
      {"not taken yet", [] {}, "member: app.ipk\nfile: app.ipk\n"},
      {"decrypted, on as a package",
       [] {
         inflight_Taken("app.ipk");
         inflight_PassEnded("app2.ipk");
       },
       "member: app.ipk\nfile: app2.ipk\n"},
      {"the decrypted package installed",
       [] {
         inflight_Taken("app.ipk");
         inflight_PassEnded("app2.ipk");
         inflight_Taken("app2.ipk");
         inflight_Installed();
       },
       nullptr},
  };
  for (const Case& c : cases) {
    inflight_BeginMember("app.ipk", "app.ipk");
    c.steps();
    if (c.left == nullptr) {
      EXPECT_FALSE(kvtest::FileExists(Record())) << c.what;
      EXPECT_EQ(inflight_Recover(), 0) << c.what;
    } else {
      EXPECT_EQ(kvtest::ReadFile(Record()), c.left) << c.what;
      EXPECT_EQ(inflight_Recover(), 1) << c.what;
      EXPECT_FALSE(kvtest::FileExists(Record())) << c.what;
    }
  }
}

TEST_F(InFlightTest, AnUnpackIsInFlightUntilItEnds) {
  inflight_BeginUnpack("update.CRY");
  EXPECT_EQ(kvtest::ReadFile(Record()), "bundle: update.CRY\n");
  inflight_EndUnpack();
  EXPECT_FALSE(kvtest::FileExists(Record()));
  inflight_BeginUnpack("update.CRY");
  EXPECT_EQ(inflight_Recover(), 1);
  EXPECT_EQ(inflight_Recover(), 0);
}

}  // namespace
