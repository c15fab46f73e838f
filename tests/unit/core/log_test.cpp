#include "core/log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
      {0, 0, true},  {0, 1, false}, {2, 0, true},   {2, 1, true}, {2, 2, true},
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

TEST_F(LogTest, StoredPriorityIsUsedUpByTheNextLineEvenWhenThatLineIsDropped) {
  Quiet([] { log_SetVerbose(1); });
  EXPECT_EQ(log_SetPriority(kPriorityError), kPriorityError);
  log_Print(2, "dropped");
  // Nothing is left behind for the next line.
  EXPECT_EQ(log_GetPendingPriority(), kPriorityNotice);
  log_Print(1, "first");
  log_SetPriority(kPriorityError);
  log_Print(1, "second");
  log_Print(1, "third");
  log_SetPriority(kPriorityDebug);
  log_Print(0, "fourth");
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "first");
  EXPECT_EQ(lines[0].priority, kPriorityNotice);
  EXPECT_EQ(lines[1].priority, kPriorityError);
  EXPECT_EQ(lines[2].priority, kPriorityNotice);
  EXPECT_EQ(lines[3].priority, kPriorityDebug);
  EXPECT_EQ(log_GetPendingPriority(), kPriorityNotice);
}

TEST_F(LogTest, OneCallCarriesPriorityAndLevelAndLeavesNothingPending) {
  Quiet([] { log_SetVerbose(1); });
  struct Case {
    int priority;
    int level;
    bool emitted;
  };
  const Case cases[] = {{kPriorityError, 0, true}, {kPriorityDebug, 2, false}, {4, 1, true}, {kPriorityDebug, 1, true}};
  for (const Case& c : cases) {
    const int n = log_PrintPriority(c.priority, c.level, "line %d", c.priority);
    EXPECT_EQ(n, c.emitted ? 6 : 0);
    EXPECT_EQ(log_GetPendingPriority(), kPriorityNotice);
  }
  // A stored priority is not taken by the one-call form: it still waits for
  // this thread's next log_Print.
  log_SetPriority(kPriorityError);
  log_PrintPriority(kPriorityDebug, 0, "explicit");
  log_Print(0, "stored");
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].priority, kPriorityError);
  EXPECT_EQ(lines[1].priority, 4);
  EXPECT_EQ(lines[2].priority, kPriorityDebug);
  EXPECT_EQ(lines[3].text, "explicit");
  EXPECT_EQ(lines[3].priority, kPriorityDebug);
  EXPECT_EQ(lines[4].text, "stored");
  EXPECT_EQ(lines[4].priority, kPriorityError);
}

// Each thread stores a priority, logs a line the level filter drops, then a
// level-0 line of its own: every level-0 line must carry the default priority
// (the dropped line used up the stored one), whatever the other threads do.
TEST_F(LogTest, PriorityOfOneThreadNeverLandsOnAnotherThreadsLine) {
  Quiet([] { log_SetVerbose(0); });
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  // The capture socket holds few lines: read them while the threads write.
  std::vector<kvtest::SyslogLine> lines;
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    while (writing.load()) {
      auto more = syslog_.Drain();
      lines.insert(lines.end(), more.begin(), more.end());
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        if (t % 2 == 0) {
          log_SetPriority(kPriorityDebug);
          log_Print(2, "dropped %d", i);
          log_Print(0, "even %d", t);
        } else {
          log_SetPriority(kPriorityError);
          log_Print(0, "odd %d", t);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  writing = false;
  reader.join();
  auto rest = syslog_.Drain();
  lines.insert(lines.end(), rest.begin(), rest.end());
  int even = 0;
  int odd = 0;
  for (const auto& l : lines) {
    if (l.text.rfind("even", 0) == 0) {
      ++even;
      EXPECT_EQ(l.priority, kPriorityNotice) << l.text;
    } else {
      ++odd;
      EXPECT_EQ(l.priority, kPriorityError) << l.text;
    }
  }
  EXPECT_EQ(even, kThreads / 2 * kLines);
  EXPECT_EQ(odd, kThreads / 2 * kLines);
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

// Values are where text from outside arrives (file names, package fields,
// answers of the application): a control byte in one never reaches the
// system log or standard output as what it is, least of all as a line feed
// that starts a line of its own. The format's own layout stays.
TEST_F(LogTest, ControlBytesInValuesReachNoLogAsTheyAre) {
  struct Row {
    std::string value;
    std::string shown;
  };
  const Row rows[] = {
      {"app.ipk\nMain, installation successful", "app.ipk?Main, installation successful"},
      {"a\r\n\tb", "a???b"},
      {"\x1b]0;owned\x07\x1b[2J", "?]0;owned??[2J"},
      {"del\x7f", "del?"},
      {"c1\xc2\x85next", "c1?next"},   // NEL, a C1 control in its UTF-8 form
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // text beyond ASCII stays
  };
  for (const Row& r : rows) {
    int result = 0;
    const std::string echoed = Quiet([&] {
      log_SetStdout(1);
      result = log_Print(0, "scandir_FindFile, %s found\n", r.value.c_str());
      log_SetStdout(0);
    });
    const std::string expected = "scandir_FindFile, " + r.shown + " found\n";
    EXPECT_EQ(result, static_cast<int>(expected.size())) << r.shown;
    EXPECT_NE(echoed.find("Log output to stdout 1\n" + expected + "\nLog output to stdout 0\n"), std::string::npos)
        << r.shown;
    const auto lines = syslog_.Drain();
    ASSERT_EQ(lines.size(), 1u) << r.shown;
    EXPECT_EQ(lines[0].text.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1));
    EXPECT_EQ(lines[0].text.find('\n'), lines[0].text.size() - 1) << r.shown;
  }
  // %c and a precision over text without its terminator are values too;
  // numbers print as vsnprintf prints them.
  const char unterminated[4] = {'a', '\n', 'b', 'c'};
  log_Print(0, "%c|%.*s|%5s|%-3d|%05.1f|%lld|%zu|%x|%%", '\n', 3, unterminated, "\t", -7, 2.25, -9LL,
            static_cast<std::size_t>(42), 255u);
  auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "?|a?b|    ?|-7 |002.2|-9|42|ff|%");
  // A whole ready-made message of the daemon, handed over as "%s" alone,
  // keeps its lines.
  log_Print(0, "%s", "\nMain, mender image update failed, cleaning up\ndelay timer is released\x1b\n");
  lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 1u);
  const std::string kept = "\nMain, mender image update failed, cleaning up\ndelay timer is released?";
  EXPECT_EQ(lines[0].text.substr(0, kept.size()), kept);
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

TEST_F(UpdateLogTest, ARecordIsOneLineWhateverItsText) {
  UpdateLog(kUpdateLogIpk, "app.ipk, version: 1\n2024-01-01 00:00:00        IPK: forged.ipk\r");
  const std::string content = kvtest::ReadFile(path_);
  ASSERT_EQ(content.find('\n'), content.size() - 1) << content;
  EXPECT_NE(content.find("        IPK: app.ipk, version: 1?2024-01-01 00:00:00        IPK: forged.ipk?\n"),
            std::string::npos)
      << content;
}

// Whatever stands at the log's name that is not a regular file of its own:
// nothing is written through it or waited on, the record is dropped, and one
// line says why, once, however often the daemon tries.
TEST_F(UpdateLogTest, EntryThatIsNoRegularFileIsRefusedOnceAndNeverWrittenThrough) {
  kvtest::SyslogCapture syslog;
  if (!syslog.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  const std::string victim = dir_.path() + "/victim";
  struct Row {
    const char* what;
    std::function<void()> plant;
  };
  const Row rows[] = {
      {"link", [&] { ASSERT_EQ(::symlink(victim.c_str(), path_.c_str()), 0); }},
      {"dangling link", [&] { ASSERT_EQ(::symlink((dir_.path() + "/nowhere").c_str(), path_.c_str()), 0); }},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(path_.c_str(), 0644), 0); }},
      {"folder", [&] { ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0); }},
      {"second link", [&] { ASSERT_EQ(::link(victim.c_str(), path_.c_str()), 0); }},
  };
  {
    kvtest::StdoutCapture out;
    log_SetVerbose(1);  // refusals are logged at level 1
    (void)out.Stop();
  }
  for (const Row& r : rows) {
    kvtest::WriteFile(victim, "victim\n");
    r.plant();
    UpdateLog(kUpdateLogIpk, "app.ipk, version: 1");
    UpdateLog(kUpdateLogIpk, "app.ipk, version: 2");
    EXPECT_EQ(kvtest::ReadFile(victim), "victim\n") << r.what;
    EXPECT_FALSE(kvtest::FileExists(dir_.path() + "/nowhere")) << r.what;
    const auto lines = syslog.Drain();
    ASSERT_EQ(lines.size(), 1u) << r.what;
    EXPECT_EQ(lines[0].text.rfind("UpdateLog, " + path_ + " is not a regular file", 0), 0u) << lines[0].text;
    EXPECT_EQ(lines[0].priority, kPriorityError) << r.what;
    [[maybe_unused]] const int removed = std::system(("rm -rf '" + path_ + "'").c_str());
  }
  // A regular file again: the record is written.
  UpdateLog(kUpdateLogIpk, "app.ipk, version: 3");
  EXPECT_NE(kvtest::ReadFile(path_).find("IPK: app.ipk, version: 3\n"), std::string::npos);
}

}  // namespace
