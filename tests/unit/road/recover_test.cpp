// Start-up recovery over every journaled step of the roads: what lies in the
// folders and what the journal names, then road_Recover, then the files, the
// journal, and the device programs it ran with what the journal said as each
// of them ran.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/restart.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "road/road.h"
#include "support/capture.h"
#include "support/devroot.h"

// The daemon's fixed waits are for the device's programs; the stand-ins need
// none.
void kv_SleepMicroseconds(long /*microseconds*/) {}

void PrintTo(const JournalEntry& entry, std::ostream* os) { *os << '"' << journal_Format(entry) << '"'; }

namespace {

namespace fs = std::filesystem;
using kvtest::WriteFile;

// A file of the row: "W/", "K/" or "B/" (watch, work, bundle folder) and the
// name. "W/x=K/x" makes the watch folder's x a second name of the work
// folder's x.
struct Row {
  const char* what;
  JournalEntry journal;  // its boot: "boot-now" or an earlier boot
  std::vector<const char*> files;
  int platform = 0;  // config_SetPlatform
  int exit = 0;      // the child's exit status
  std::vector<const char*> after;
  std::vector<const char*> commands;
  std::vector<const char*> errors;  // texts of the error lines, in order
  JournalEntry journalAfter{};      // a bundle member waiting stays named
};

std::string Folder(char tag) {
  switch (tag) {
    case 'W': return paths_WatchFolder();
    case 'K': return paths_WorkFolder();
    default: return paths_BundleFolder();
  }
}

void Place(const std::string& spec) {
  const std::size_t twin = spec.find('=');
  const std::string path = Folder(spec[0]) + spec.substr(2, twin == std::string::npos ? twin : twin - 2);
  if (twin == std::string::npos) {
    WriteFile(path, "content of " + spec);
    return;
  }
  const std::string other = Folder(spec[twin + 1]) + spec.substr(twin + 3);
  WriteFile(other, "content of " + spec);
  ASSERT_EQ(::link(other.c_str(), path.c_str()), 0);
}

std::vector<std::string> Folders() {
  std::vector<std::string> all = kvtest::Listing(paths_WatchFolder(), "W/");
  for (const std::string& n : kvtest::Listing(paths_WorkFolder(), "K/")) all.push_back(n);
  for (const std::string& n : kvtest::Listing(paths_BundleFolder(), "B/")) all.push_back(n);
  return all;
}

// Everything under root outside the three folders and the writable layer
// (which the restart cleans): path and content.
std::map<std::string, std::string> Outside(const std::string& root) {
  std::map<std::string, std::string> seen;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string p = e.path().string() + (e.is_directory() ? "/" : "");
    if (p.starts_with(paths_WatchFolder()) || p.starts_with(paths_WorkFolder()) ||
        p.starts_with(root + "/data/upperdir/")) {
      continue;
    }
    seen[p] = e.is_regular_file() ? kvtest::ReadFile(p) : "";
  }
  return seen;
}

std::vector<std::string> Strings(const std::vector<const char*>& v) { return {v.begin(), v.end()}; }

TEST(RoadRecoverTest, EachJournaledStepIsFinishedOrEndedAtStartUp) {
  kvtest::SyslogCapture syslog;
  if (!syslog.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  const Row rows[] = {
      {"take cut off: the drop waits in the watch folder, nothing in work",
       {"appcry", "take", "a.CRY", "a.CRY", "", "", 0, "boot-now"},
       {"W/a.CRY=K/a.CRY"},
       0,
       0,
       {"W/a.CRY"},
       {},
       {}},
      {"take of a bundle member cut off: it waits in the watch folder, still the member",
       {"image", "take", "IMAGE.CRY", "IMAGE.CRY", "image.cry", "IMAGE.CRY", 0, "boot-now"},
       {"W/IMAGE.CRY=K/IMAGE.CRY"},
       0,
       0,
       {"W/IMAGE.CRY"},
       {},
       {},
       {"", "", "", "", "image.cry", "IMAGE.CRY", 0, "boot-now"}},
      {"take done: the road goes on (the container is checked, refused and removed)",
       {"appcry", "take", "a.CRY", "a.CRY", "", "", 0, "boot-now"},
       {"K/a.CRY"},
       0,
       0,
       {},
       {},
       {"Main, integrity check on cryfile failed, cleaning up"}},
      {"install cut off with the package there: the installer unit again, once",
       {"ipk", "install", "app.ipk", "drop.ipk", "", "", 0, "boot-now"},
       {"K/app.ipk"},
       0,
       0,
       {"K/app.ipk"},
       {"systemctl start install@app [ipk install]"},
       {}},
      {"install cut off, the package gone: nothing",
       {"ipk", "install", "app.ipk", "drop.ipk", "", "", 0, "boot-now"},
       {},
       0,
       0,
       {},
       {},
       {}},
      // The entry stays until the restart has happened: cut off before it,
      // the next start asks for it again instead of committing.
      {"image written, same boot: the restart again",
       {"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 0, "boot-now"},
       {"K/IMAGE.CRY", "W/IMAGEUPDATEOK.TXT"},
       0,
       kSandboxRestartExitStatus,
       {"W/IMAGEUPDATEOK.TXT"},
       {},
       {},
       {"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 0, "boot-now"}},
      {"image written, new boot: the commit takes over",
       {"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 0, "boot-old"},
       {"K/IMAGE.CRY", "W/IMAGEUPDATEOK.TXT"},
       0,
       0,
       {"W/IMAGEUPDATEOK.TXT"},
       {},
       {}},
      {"image not written: the updater again",
       {"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 0, "boot-now"},
       {"K/IMAGE.CRY"},
       0,
       0,
       {"W/IMAGEUPDATEFAILED.TXT"},
       {"opkg info mender-client [image update]", "mender -rootfs <root>/home/root/IMAGE.CRY [image update]",
        "psplash-write MSG OS Update failed [image update]"},
       {"\nMain, mender image update failed, cleaning up\ndelay timer is released"}},
      {"bundle unpacked whole: the bundle file goes, nothing unpacked again",
       {"bundle", "take", "b.bundle", "b.bundle", "", "", 0, "boot-now"},
       {"K/b.bundle", "B/allinfo.json", "B/m.CRY"},
       0,
       0,
       {"B/allinfo.json", "B/m.CRY"},
       {},
       {}},
      {"bundle member's road ends: the member goes from the journal",
       {"ipk", "install", "app.ipk", "m.ipk", "m.ipk", "m.ipk", 0, "boot-now"},
       {"B/allinfo.json"},
       0,
       0,
       {"B/allinfo.json"},
       {},
       {}},
      {"cut off for the last time: given up, the services back",
       {"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", kRoadMaxAttempts - 1, "boot-now"},
       {"K/IMAGE.CRY"},
       2,
       0,
       {},
       {"systemctl restart app [image update]", "systemctl restart kvserver [image update]",
        "psplash-write QUIT [image update]"},
       {"road_Recover, image road of IMAGE.CRY was cut off 3 times, given up"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const kvtest::DeviceRoot device;
    for (const char* tree : {"usr", "bin", "sbin"}) fs::create_directories(device.root() + "/data/upperdir/" + tree);
    for (const char* file : row.files) Place(file);
    ASSERT_TRUE(statefile_Write(std::string(paths_WorkFolder()) + kJournalName, journal_Format(row.journal), 0600));
    const auto outside = Outside(device.root());
    (void)syslog.Drain();

    const int status = kvtest::RunInChild([&row] {
      kvtest::StdoutCapture quiet;
      log_SetVerbose(1);
      config_SetPlatform(row.platform);
      road_SetSimulate(0);
      road_Recover();
    });

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.exit);
    EXPECT_EQ(Folders(), Strings(row.after));
    EXPECT_EQ(device.Commands(), Strings(row.commands));
    std::vector<std::string> errors;
    for (const kvtest::SyslogLine& line : syslog.Drain()) {
      if (line.priority == kPriorityError) errors.push_back(line.text.substr(0, line.text.find_last_not_of('\n') + 1));
    }
    EXPECT_EQ(errors, Strings(row.errors));
    // The restart cleans the writable layer first.
    EXPECT_EQ(fs::exists(device.root() + "/data/upperdir/usr"), row.exit != kSandboxRestartExitStatus);
    // Whatever recovery found, the journal names no road afterwards (only a
    // member still waiting), and nothing outside the folders changed.
    EXPECT_EQ(journal_Load(), row.journalAfter);
    EXPECT_EQ(Outside(device.root()), outside);
  }
}

}  // namespace
