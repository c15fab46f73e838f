#include "core/log.h"

#include <gtest/gtest.h>

#include <string>

#include "core/paths.h"
#include "support/capture.h"

namespace {

using kvtest::StdoutCapture;
using kvtest::SyslogCapture;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!syslog_.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
    log_SetIdent("kvupdaterd");
    Quiet([] {
      log_SetStdout(0);
      log_SetVerbose(0);
    });
    log_SetPriority(kPriorityNotice);
  }
  template <typename F>
  static std::string Quiet(F f) {
    StdoutCapture out;
    f();
    return out.Stop();
  }
  SyslogCapture syslog_;
};

TEST_F(LogTest, LevelFilterEmitsLevelZeroAlwaysAndUpToTheVerboseLevel) {
  struct Case {
    int verbose;
    int level;
    bool emitted;
  };
  const Case cases[] = {
      {0, 0, true}, {0, 1, false}, {2, 0, true}, {2, 1, true}, {2, 2, true},
      {2, 3, false}, {-1, 0, true}, {-1, 1, false}, {3, 3, true},
  };
  for (const Case& c : cases) {
    Quiet([&] { log_SetVerbose(c.verbose); });
    const int result = log_Print(c.level, "line %d/%d", c.verbose, c.level);
    const auto lines = syslog_.Drain();
    const std::string expected = "line " + std::to_string(c.verbose) + "/" + std::to_string(c.level);
    if (c.emitted) {
      EXPECT_EQ(result, static_cast<int>(expected.size())) << expected;
      ASSERT_EQ(lines.size(), 1u) << expected;
      EXPECT_EQ(lines[0].text, expected);
      EXPECT_EQ(lines[0].ident, "kvupdaterd");
      EXPECT_EQ(lines[0].facility, 1);  // user
    } else {
      EXPECT_EQ(result, 0) << expected;
      EXPECT_TRUE(lines.empty()) << expected;
    }
  }
}

TEST_F(LogTest, PendingPrioritySurvivesADroppedLineAndResetsAfterAnEmittedOne) {
  Quiet([] { log_SetVerbose(1); });
  EXPECT_EQ(log_SetPriority(kPriorityError), kPriorityError);
  log_Print(2, "dropped");
  EXPECT_EQ(log_GetPendingPriority(), kPriorityError);
  log_Print(1, "first");
  log_Print(1, "second");
  log_SetPriority(kPriorityDebug);
  log_Print(0, "third");
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "first");
  EXPECT_EQ(lines[0].priority, kPriorityError);
  EXPECT_EQ(lines[1].priority, kPriorityNotice);
  EXPECT_EQ(lines[2].priority, kPriorityDebug);
  EXPECT_EQ(log_GetPendingPriority(), kPriorityNotice);
}

TEST_F(LogTest, PercentSignsInTheFormattedTextReachTheSystemLogLiterally) {
  log_Print(0, "file %s", "50%s %d%%.cry");
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "file 50%s %d%%.cry");
}

TEST_F(LogTest, LongLinesAreCutInTheSystemLogButWholeOnStandardOutput) {
  const std::string longText(2500, 'x');
  int result = 0;
  const std::string echoed = Quiet([&] {
    log_SetStdout(1);
    result = log_Print(0, "%s", longText.c_str());
    log_SetStdout(0);
  });
  EXPECT_EQ(result, 2500);
  EXPECT_NE(echoed.find(longText + "\n"), std::string::npos);
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, std::string(1999, 'x'));
}

TEST_F(LogTest, EchoAddsOneNewlineAndSettersPrintTheirSettings) {
  const std::string out = Quiet([] {
    log_SetVerbose(2);
    log_SetStdout(1);
    log_Print(1, "Main, decrypter successfully executed\n");
    log_Print(3, "not shown");
    log_SetStdout(0);
  });
  EXPECT_EQ(out,
            "Verbose output level 2\nLog output to stdout 1\n"
            "Main, decrypter successfully executed\n\nLog output to stdout 0\n");
}

TEST_F(LogTest, SystemLogCanBeTurnedOffForHostTools) {
  log_SetSystemLog(0);
  const std::string echoed = Quiet([] {
    log_SetStdout(1);
    log_Print(0, "kept off the system log");
    log_SetStdout(0);
  });
  log_SetSystemLog(1);
  EXPECT_NE(echoed.find("kept off the system log\n"), std::string::npos);
  EXPECT_TRUE(syslog_.Drain().empty());
}

class UpdateLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    path_ = dir_.path() + "/opt/kv2/log/update.log";
    kvtest::WriteFile(path_, "");
    std::remove(path_.c_str());
  }
  void TearDown() override { paths_SetRoot(""); }
  kvtest::TempDir dir_;
  std::string path_;
};

TEST_F(UpdateLogTest, LinesCarryTimeStampAndTagRightAlignedInTenColumns) {
  UpdateLog(kUpdateLogKvUpdater, "kvupdaterd_1.0.ipk, version: 1.0");
  UpdateLog(kUpdateLogBundle, "b");
  UpdateLog(kUpdateLogImage, "Not installed because same revision");
  UpdateLog(kUpdateLogIpk, "app.ipk, version: 2");
  const std::string content = kvtest::ReadFile(path_);
  const char* expectedTails[] = {
      // The blank after the time stamp, then the tag in ten columns.
      "  KVUPDATER: kvupdaterd_1.0.ipk, version: 1.0\n",
      "     BUNDLE: b\n",
      "      IMAGE: Not installed because same revision\n",
      "        IPK: app.ipk, version: 2\n",
  };
  std::size_t pos = 0;
  for (const char* tail : expectedTails) {
    const std::size_t end = content.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = content.substr(pos, end + 1 - pos);
    // "YYYY-MM-DD HH:MM:SS" then the tag column.
    ASSERT_GT(line.size(), 19u);
    EXPECT_EQ(line.substr(19), tail);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], ' ');
    EXPECT_EQ(line[13], ':');
    pos = end + 1;
  }
  EXPECT_EQ(pos, content.size());
}

TEST_F(UpdateLogTest, FileAbove199999BytesIsStartedAfresh) {
  struct Case {
    std::size_t size;
    bool kept;
  };
  for (const Case c : {Case{199999, true}, Case{200000, false}}) {
    kvtest::WriteFile(path_, std::string(c.size, 'a'));
    UpdateLog(kUpdateLogIpk, "x");
    const std::string content = kvtest::ReadFile(path_);
    if (c.kept) {
      EXPECT_EQ(content.substr(0, c.size), std::string(c.size, 'a'));
      EXPECT_GT(content.size(), c.size);
    } else {
      EXPECT_LT(content.size(), 100u);
      EXPECT_NE(content.find("       IPK: x\n"), std::string::npos);
    }
  }
}

TEST_F(UpdateLogTest, KindWithoutTagWritesNothingAndKeepsAFullLog) {
  UpdateLog(4, "nothing");
  EXPECT_FALSE(kvtest::FileExists(path_));
  const std::string full(200000, 'a');
  kvtest::WriteFile(path_, full);
  UpdateLog(4, "nothing");
  EXPECT_EQ(kvtest::ReadFile(path_), full);
}

}  // namespace
