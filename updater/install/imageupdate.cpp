#include "install/imageupdate.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/cmd.h"
#include "core/handles.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/paths.h"
#include "core/restart.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "idprot/idiface.h"
#include "idprot/progress.h"
#include "install/appinstall.h"
#include "install/savedstate.h"

namespace {

constexpr long kOneSecond = 1000000;

// The commit's road in the journal (core/journal.h), which lives in the
// work folder, the daemon's alone: not in the OK marker, since anyone who
// may write the watch folder can rename a file the daemon made there to the
// marker's name. Steps: "committing" (written before "mender commit"),
// "failed" (the commit exited with an error; attempts counts them),
// "committed" (it succeeded; the steps after it are left).
constexpr const char* kCommitRoad = "commit";

// The watchdog is widened for the updater's deadline and this margin, which
// covers what the update does besides running the updater: saving state,
// preparing the display, ending an updater past its deadline, the failure
// path's wait and the service restarts.
constexpr std::chrono::minutes kWatchdogMargin{5};

// Creates an empty marker in the watch folder. It replaces whatever entry
// stands at its name; a link put there is never followed.
void Touch(const char* marker) {
  const std::string path = std::string(paths_WatchFolder()) + marker;
  if (kv::Status written = statefile_Write(path, ""); !written) {
    log_Print(3, "doInstall_RunMenderUpdate, marker %s not written: %s\n", marker, written.error().message().c_str());
  }
}

// The display before an update: screen saver woken and splash started on the
// platforms with a display; returns the splash message to show, or null.
const char* PrepareDisplay(const char* platform) {
  if (std::strcmp(platform, "kv2-touch") == 0 || std::strcmp(platform, "korvel-sr") == 0) {
    cmd_System("xset -display :0.0 s activate");
    kv_SleepMicroseconds(kOneSecond);
    cmd_System("xset -display :0.0 s activate");
    kv_SleepMicroseconds(kOneSecond);
    cmd_System("psplash -a 180 &");
    return "psplash-write \"MSG OS Update! Please wait..\"";
  }
  if (std::strcmp(platform, "korvel-r") == 0) {
    kv_SleepMicroseconds(kOneSecond);
    cmd_System("psplash &");
    kv_SleepMicroseconds(kOneSecond);
    doInstall_SetBacklight();
    return "psplash-write \"MSG OS update..\"";
  }
  return nullptr;
}

void SetComplete() {
  progress_SetComponent(kImageFile, 100);
  progress_SetTotalProgress(100);
  progress_SetAction("Image installed, Rebooting", 2);
}

// Runs "mender commit" and returns its exit status (-1 when it could not be
// run or did not exit by itself). Its output goes to the log at level 3.
int RunCommit() {
  kv::Pipe commit = cmd_OpenPipe("mender commit");
  if (!commit) return -1;
  char line[1034];
  while (std::fgets(line, sizeof line, commit.get()) != nullptr) {
    log_Print(3, "doInstall_MenderCommit, mender: %s", line);
  }
  const int status = cmd_ClosePipe(std::move(commit));
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// After a commit the daemon does nothing further in this run. It tells the
// service manager that it is up (its start-up has ended here) and keeps the
// watchdog fed, so that it is neither timed out at start nor taken for stuck.
[[noreturn]] void Park() {
  notify_Ready();
  for (;;) {
    kv_SleepMicroseconds(kOneSecond);
    notify_Watchdog();
  }
}

}  // namespace

int doInstall_ProgressOf(const char* line) {
  const char* percent = std::strchr(line, '%');
  if (percent == nullptr) return -1;
  const char* start = percent - 3 >= line ? percent - 3 : line;
  return std::atoi(std::string(start, percent).c_str());
}

void doInstall_CleanUpperdir() {
  const std::string upper = paths_Device(devpath::kUpperDir);
  cmd_System(("rm -r " + upper + "/usr").c_str());
  cmd_System(("rm -r " + upper + "/bin").c_str());
  cmd_System(("rm -r " + upper + "/sbin").c_str());
  cmd_System(("rm -rf " + upper + "/var/lib/systemd/timesync").c_str());
}

void doInstall_Reboot() {
  ::sync();
  (void)platform_Restart();
}

int doInstall_RunMenderUpdate(const char* platform, int simulate) {
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &local);
  if (simulate != 0) log_Print(1, "doInstall_RunMenderUpdate, SIM mode, pretend to install image\n");

  doInstall_SaveSystemLog(stamp);
  log_Print(1, "doInstall_RunMenderUpdate, image update started! \n");
  kv_SleepMicroseconds(kOneSecond);
  if (simulate != 0) {
    log_Print(1, "doInstall_RunMenderUpdate, SIM mode finished, pretend to reboot, terminating program now! \n");
    kv_SleepMicroseconds(5 * kOneSecond);
    return 0;
  }

  doInstall_SavePackageDatabase();
  progress_SetAction("installing IMAGE.CRY", 1);

  bool installCommand = false;
  {
    kv::Pipe version = cmd_OpenPipe("opkg info mender-client | grep Version");
    if (!version) {
      log_Print(1, "doInstall_RunMenderUpdate, Unable to check mender version\n");
      return 0;
    }
    char line[99];
    if (std::fgets(line, sizeof line, version.get()) != nullptr) {
      log_Print(1, "doInstall_RunMenderUpdate, Mender %s", line);
      installCommand = true;
    }
  }
  char command[500];
  // The install sub-command when the package manager knows the updater
  // package, the older -rootfs form otherwise.
  std::snprintf(command, sizeof command, installCommand ? "mender install %s%s" : "mender -rootfs %s%s",
                paths_WorkFolder(), kImageFile);
  const std::chrono::seconds deadline = doInstall_ImageDeadline();
  // The update holds the loop far longer than the watchdog allows a pass; it
  // has its own deadline instead.
  const kv::WatchdogWidening widened(deadline + kWatchdogMargin);
  CmdReader updater = CmdReader::Start(command);
  if (!updater) {
    log_Print(1, "doInstall_RunMenderUpdate, Mender update cmd failed! \n");
    return 0;
  }
  const auto until = std::chrono::steady_clock::now() + deadline;

  const char* message = PrepareDisplay(platform);
  if (message != nullptr) cmd_System(message);
  kv_SleepMicroseconds(kOneSecond);
  doInstall_ControlServices(platform, kServiceStop);

  bool success = false;
  bool overran = false;
  char line[1034];
  for (;;) {
    const CmdReader::Read read = updater.ReadLine(line, sizeof line, until);
    if (read == CmdReader::Read::kEnd) break;
    if (read == CmdReader::Read::kDeadline) {
      overran = true;
      break;
    }
    if (std::strstr(line, "Enabling partition") != nullptr) {
      if (!success) {
        // The new image is the boot candidate from here on: the marker that
        // makes the next start commit it is written at once, not after the
        // splash steps, so that no kill in between leaves it uncommitted.
        Touch(kImageOkMarker);
      }
      success = true;
      SetComplete();
      log_Print(1, "doInstall_RunMenderUpdate status: Complete");
      log_Print(1, "doInstall_RunMenderUpdate status: Rebooting...");
      cmd_Run("psplash-write \"MSG Rebooting..\"");
    } else if (const int value = doInstall_ProgressOf(line); value >= 0) {
      char progress[64];
      std::snprintf(progress, sizeof progress, "psplash-write \"PROGRESS %d\"", value);
      progress_SetTotalProgress(value);
      progress_SetComponent(kImageFile, value);
      log_Print(1, "doInstall_RunMenderUpdate status: %i%%", value);
      cmd_Run(progress);
    }
    kv_SleepMicroseconds(kOneSecond);
  }
  if (overran) {
    // A hung updater is ended; without the completion line the update
    // failed, with it the new image is already the boot candidate.
    (void)updater.Terminate();
    log_PrintPriority(kPriorityError, 1, "doInstall_RunMenderUpdate, Mender still running after %lld seconds, ended\n",
                      static_cast<long long>(deadline.count()));
  } else {
    (void)updater.Close();
  }

  if (success) {
    SetComplete();
    cmd_System("psplash-write \"MSG Rebooting..\"");
    kv_SleepMicroseconds(kOneSecond);
    cmd_System("psplash-write \"QUIT\"");
    log_Print(1, "doInstall_RunMenderUpdate, Mender image update successfull. Rebooting! \n");
    cmd_System(("rm " + paths_Device(devpath::kOpkgStatus)).c_str());
    doInstall_CleanUpperdir();
    doInstall_Reboot();  // flushes the clean first
    return 1;
  }
  progress_SetError("Image update failed", 200);
  progress_SetAction("Image install done", 3);
  log_Print(1, "doInstall_RunMenderUpdate, Mender image update failed! \n");
  Touch(kImageFailedMarker);
  cmd_System("psplash-write \"MSG OS Update failed\"");
  kv_SleepMicroseconds(5 * kOneSecond);
  doInstall_ControlServices(platform, kServiceRestart);
  return 0;
}

namespace {

// The commit's outcome in the update status, so that a technician who
// followed the update through the restart learns whether the new image
// stays.
void ReportCommit(bool committed, const char* error) {
  if (committed) {
    progress_SetAction(kIdImageCommittedAction, 3);
    return;
  }
  progress_SetError(error, kIdImageCommitErrorNumber);
  progress_SetAction(kIdImageNotCommittedAction, 3);
}

}  // namespace

void doInstall_MenderCommit(int simulate) {
  const std::string marker = std::string(paths_WatchFolder()) + kImageOkMarker;
  JournalEntry state = journal_Current();
  if (state.road != kCommitRoad) state = JournalEntry{};
  struct stat st {};
  bool marked = ::lstat(marker.c_str(), &st) == 0;
  if (marked && !statefile_IsOwnStat(st)) {
    // Anyone who may drop files can put this name there; committing on it
    // would clean the writable layer and park the daemon.
    log_PrintPriority(kPriorityError, 1, "doInstall_MenderCommit, %s is not a marker the daemon made, removed\n",
                      marker.c_str());
    if (::unlink(marker.c_str()) != 0) (void)::rmdir(marker.c_str());
    marked = false;
  }
  if (!marked && state.road.empty()) return;
  if (simulate != 0) {
    log_Print(1, "doInstall_MenderCommit, SIM mode, pretend to do mender commit\n");
    return;
  }
  // The marker goes only once the commit and the steps after it are done.
  // The journal says "committing" before the updater is asked, so that a
  // start after a kill knows a commit may have gone through; "committed"
  // once it has, so that such a start finishes the steps after it without a
  // second commit.
  if (state.step != "committed") {
    const bool cutOff = state.step == "committing";
    // A commit cut off by a restart of the machine (a power cut) cannot be
    // told from one that never reached the updater: either way it refuses
    // a second, having committed the image or rolled it back at the restart.
    const bool restartedSince = cutOff && journal_FromEarlierBoot(state);
    state.road = kCommitRoad;
    state.step = "committing";
    state.attempts += 1;
    if (kv::Status written = journal_Write(state); !written) {
      log_Print(3, "doInstall_MenderCommit, journal not written: %s\n", written.error().message().c_str());
    }
    const int status = RunCommit();
    if (status != 0 && restartedSince) {
      log_PrintPriority(kPriorityError, 1,
                        "doInstall_MenderCommit, Mender image commit failed! status %d, the machine restarted while "
                        "the last commit was asked: the image was committed or rolled back\n",
                        status);
      const std::string failed = std::string(paths_WatchFolder()) + kImageFailedMarker;
      (void)statefile_Write(failed, "commit not known: the machine restarted during the commit, last status " +
                                        std::to_string(status) + "\n");
      ReportCommit(false, "Image commit not known");
      (void)statefile_Remove(marker);
      (void)journal_EndRoad(false);
      return;
    }
    if (status != 0 && cutOff) {
      // The updater refuses a commit when none waits: the commit that the
      // last start was cut off in has gone through (or the updater has
      // rolled back, which a commit cannot change).
      log_Print(1, "doInstall_MenderCommit, no commit waits (status %d): the commit of the last start was done\n",
                status);
    } else if (status != 0 && state.attempts >= kCommitAttempts) {
      log_PrintPriority(kPriorityError, 1,
                        "doInstall_MenderCommit, Mender image commit failed %d times, last status %d, given up\n",
                        state.attempts, status);
      // The markers say what happened: the image was not committed.
      const std::string failed = std::string(paths_WatchFolder()) + kImageFailedMarker;
      (void)statefile_Write(failed, "commit failed " + std::to_string(state.attempts) + " times, last status " +
                                        std::to_string(status) + "\n");
      ReportCommit(false, "Image commit failed");
      (void)statefile_Remove(marker);
      (void)journal_EndRoad(false);
      return;
    } else if (status != 0) {
      log_PrintPriority(kPriorityError, 1,
                        "doInstall_MenderCommit, Mender image commit failed! status %d, tried again at the next "
                        "start\n",
                        status);
      state.step = "failed";
      (void)journal_Write(state);
      ReportCommit(false, "Image commit failed, tried again at the next start");
      return;
    }
    state.step = "committed";
    if (kv::Status written = journal_Write(state); !written) {
      log_Print(3, "doInstall_MenderCommit, journal not written: %s\n", written.error().message().c_str());
    }
  }
  log_Print(1, "doInstall_MenderCommit, Mender image commit completed! \n");
  ReportCommit(true, nullptr);
  doInstall_CleanUpperdir();
  // The clean is flushed before the marker goes: a power cut must not leave
  // the old layer's files shadowing the new image with nothing left to say so.
  ::sync();
  cmd_System(paths_Device(devpath::kSyncUsers).c_str());
  if (kv::Status removed = statefile_Remove(marker); !removed) {
    log_Print(3, "doInstall_MenderCommit, %s not removed: %s\n", marker.c_str(), removed.error().message().c_str());
  }
  (void)journal_EndRoad(false);
  Park();
}

std::chrono::seconds doInstall_ImageDeadline() {
  return cmd_DeadlineFrom(kImageDeadlineEnvironment, kImageDeadlineDefault);
}
