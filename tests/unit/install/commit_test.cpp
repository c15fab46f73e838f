// The commit of a new image at start-up as a table: the journal's commit
// step and the OK marker before, the image updater's exit status, and then
// whether it committed, the journal, the markers and whether the daemon
// parked.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "idprot/progress.h"
#include "install/imageupdate.h"
#include "support/capture.h"
#include "support/devroot.h"

namespace {
// The only wait on the commit's road is the park's: reaching it ends the
// child with this status instead.
constexpr int kParked = 86;
// Where the child leaves what its update status says when it ends.
std::string gReportPath;

void LeaveReport() {
  const UpdateProgress p = progress_Snapshot();
  kvtest::WriteFile(gReportPath, std::string(p.actionDescription) + " " + std::to_string(p.errorNumber));
}
}  // namespace

void kv_SleepMicroseconds(long /*microseconds*/) {
  LeaveReport();
  ::_exit(kParked);
}

void PrintTo(const JournalEntry& entry, std::ostream* os) { *os << '"' << journal_Format(entry) << '"'; }

namespace {

namespace fs = std::filesystem;
using kvtest::FileExists;
using kvtest::ReadFile;
using kvtest::WriteFile;

enum class Marker { kNone, kOwn, kForeign, kLink };

struct Row {
  const char* what;
  JournalEntry before;
  Marker marker;
  int menderExit;
  int simulate;
  // Afterwards:
  std::vector<const char*> commands;
  JournalEntry journal;
  bool okMarker;
  const char* failedMarker;  // its content, null when there is none
  bool parked;
  std::vector<const char*> errors;
};

const JournalEntry kNoJournal{};
JournalEntry Commit(const char* step, int attempts) { return {"commit", step, "", "", "", "", attempts, "boot-now"}; }

// What the update status says after the rows that commit or fail to.
const std::map<std::string, std::string> kReported = {
    {"marker, the commit succeeds: committed, cleaned, parked", "Image committed 0"},
    {"marker, the commit fails: tried again at the next start", "Image not committed 202"},
    {"cut off while committing, now refused: counts as done", "Image committed 0"},
    {"cut off while committing in an earlier boot, now refused: not known, said so", "Image not committed 202"},
    {"failed twice, fails again: given up", "Image not committed 202"},
    {"committed, cut off before the marker went: no second commit", "Image committed 0"},
    {"committed, the marker already gone: the steps after it", "Image committed 0"},
};

TEST(MenderCommitTest, CommitRoadFromEachStepAndMarker) {
  kvtest::SyslogCapture syslog;
  if (!syslog.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  const char* const committed[] = {"mender commit [commit committing]", "sync-users.sh  [commit committed]"};
  const Row rows[] = {
      {"marker, the commit succeeds: committed, cleaned, parked",
       kNoJournal,
       Marker::kOwn,
       0,
       0,
       {committed[0], committed[1]},
       kNoJournal,
       false,
       nullptr,
       true,
       {}},
      {"marker, the commit fails: tried again at the next start",
       kNoJournal,
       Marker::kOwn,
       1,
       0,
       {"mender commit [commit committing]"},
       Commit("failed", 1),
       true,
       nullptr,
       false,
       {"doInstall_MenderCommit, Mender image commit failed! status 1, tried again at the next start"}},
      {"cut off while committing, now refused: counts as done",
       Commit("committing", 1),
       Marker::kOwn,
       2,
       0,
       {committed[0], committed[1]},
       kNoJournal,
       false,
       nullptr,
       true,
       {}},
      // A restart of the machine came between: the updater committed the
      // image before it, or rolled it back at it; which is not known.
      {"cut off while committing in an earlier boot, now refused: not known, said so",
       {"commit", "committing", "", "", "", "", 1, "boot-old"},
       Marker::kOwn,
       2,
       0,
       {"mender commit [commit committing]"},
       kNoJournal,
       false,
       "commit not known: the machine restarted during the commit, last status 2\n",
       false,
       {"doInstall_MenderCommit, Mender image commit failed! status 2, the machine restarted while the last commit "
        "was asked: the image was committed or rolled back"}},
      {"failed twice, fails again: given up",
       Commit("failed", kCommitAttempts - 1),
       Marker::kOwn,
       1,
       0,
       {"mender commit [commit committing]"},
       kNoJournal,
       false,
       "commit failed 3 times, last status 1\n",
       false,
       {"doInstall_MenderCommit, Mender image commit failed 3 times, last status 1, given up"}},
      {"committed, cut off before the marker went: no second commit",
       Commit("committed", 1),
       Marker::kOwn,
       1,
       0,
       {"sync-users.sh  [commit committed]"},
       kNoJournal,
       false,
       nullptr,
       true,
       {}},
      {"committed, the marker already gone: the steps after it",
       Commit("committed", 1),
       Marker::kNone,
       1,
       0,
       {"sync-users.sh  [commit committed]"},
       kNoJournal,
       false,
       nullptr,
       true,
       {}},
      {"another user's marker: removed, nothing committed",
       kNoJournal,
       Marker::kForeign,
       0,
       0,
       {},
       kNoJournal,
       false,
       nullptr,
       false,
       {"doInstall_MenderCommit, <root>/opt/kv2/swfw/IMAGEUPDATEOK.TXT is not a marker the daemon made, removed"}},
      {"a link as the marker: removed, nothing committed",
       kNoJournal,
       Marker::kLink,
       0,
       0,
       {},
       kNoJournal,
       false,
       nullptr,
       false,
       {"doInstall_MenderCommit, <root>/opt/kv2/swfw/IMAGEUPDATEOK.TXT is not a marker the daemon made, removed"}},
      {"nothing to commit", kNoJournal, Marker::kNone, 0, 0, {}, kNoJournal, false, nullptr, false, {}},
      {"simulation: the marker stays", kNoJournal, Marker::kOwn, 0, 1, {}, kNoJournal, true, nullptr, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const kvtest::DeviceRoot device;
    device.SetExit("mender", row.menderExit);
    for (const char* tree : {"usr", "bin", "sbin"}) fs::create_directories(device.root() + "/data/upperdir/" + tree);
    const std::string ok = std::string(paths_WatchFolder()) + kImageOkMarker;
    const std::string failed = std::string(paths_WatchFolder()) + kImageFailedMarker;
    const std::string elsewhere = device.root() + "/elsewhere";
    WriteFile(elsewhere, "not the daemon's");
    if (row.marker == Marker::kOwn || row.marker == Marker::kForeign) {
      ASSERT_TRUE(statefile_Write(ok, ""));
    }
    if (row.marker == Marker::kForeign) {
      ASSERT_EQ(::chown(ok.c_str(), 4242, 4242), 0);
    }
    if (row.marker == Marker::kLink) {
      ASSERT_EQ(::symlink(elsewhere.c_str(), ok.c_str()), 0);
    }
    if (!row.before.road.empty()) {
      ASSERT_TRUE(statefile_Write(std::string(paths_WorkFolder()) + kJournalName, journal_Format(row.before), 0600));
    }
    (void)syslog.Drain();
    gReportPath = device.root() + "/report";

    const int status = kvtest::RunInChild([&row] {
      kvtest::StdoutCapture quiet;
      log_SetVerbose(1);
      progress_Init();
      (void)journal_Load();
      doInstall_MenderCommit(row.simulate);
      LeaveReport();
    });

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) == kParked, row.parked);
    EXPECT_EQ(device.Commands(), std::vector<std::string>(row.commands.begin(), row.commands.end()));
    EXPECT_EQ(journal_Load(), row.journal);
    EXPECT_EQ(fs::is_symlink(ok) || FileExists(ok), row.okMarker);
    EXPECT_EQ(FileExists(failed), row.failedMarker != nullptr);
    if (row.failedMarker != nullptr) {
      EXPECT_EQ(ReadFile(failed), row.failedMarker);
    }
    // Only a commit cleans the writable layer; nothing follows a link.
    EXPECT_EQ(fs::exists(device.root() + "/data/upperdir/usr"), !row.parked);
    EXPECT_EQ(ReadFile(elsewhere), "not the daemon's");
    std::vector<std::string> errors;
    for (const kvtest::SyslogLine& line : syslog.Drain()) {
      if (line.priority != kPriorityError) continue;
      std::string text = line.text.substr(0, line.text.find_last_not_of('\n') + 1);
      if (const std::size_t at = text.find(device.root()); at != std::string::npos) {
        text.replace(at, device.root().size(), "<root>");
      }
      errors.push_back(text);
    }
    EXPECT_EQ(errors, std::vector<std::string>(row.errors.begin(), row.errors.end()));
    // The update status tells a client that followed the update whether the
    // new image stays.
    const auto reported = kReported.find(row.what);
    EXPECT_EQ(ReadFile(gReportPath), reported != kReported.end() ? reported->second : "Idle 0");
  }
}

}  // namespace
