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
#include "core/log.h"
#include "core/notify.h"
#include "core/paths.h"
#include "core/restart.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "idprot/progress.h"
#include "install/appinstall.h"
#include "install/roadrecord.h"
#include "install/savedstate.h"
#include "intake/inflight.h"

namespace {

constexpr long kOneSecond = 1000000;

// Once "mender commit" has succeeded and only the steps after it are left,
// this record in the work folder says so. It is not kept in the OK marker:
// anyone who may write the watch folder can rename a file the daemon made
// there (a decrypted package of his own making) to the marker's name, and a
// marker that said "committed" would have the writable layer cleaned without
// any commit. The work folder is the daemon's alone.
constexpr const char* kCommitRecordName = "kvupdaterd.commit";
constexpr char kCommitted[] = "committed\n";

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

  // The services are this road's until they run again or the machine
  // restarts; a start that finds the record brings them back.
  doInstall_BeginServiceRoad("OS image update");
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
        inflight_Installed();
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
    doInstall_Reboot();
    return 1;
  }
  progress_SetError("Image update failed", 200);
  progress_SetAction("Image install done", 3);
  log_Print(1, "doInstall_RunMenderUpdate, Mender image update failed! \n");
  Touch(kImageFailedMarker);
  cmd_System("psplash-write \"MSG OS Update failed\"");
  kv_SleepMicroseconds(5 * kOneSecond);
  doInstall_ControlServices(platform, kServiceRestart);
  doInstall_EndServiceRoad();
  return 0;
}

void doInstall_MenderCommit(int simulate) {
  const std::string marker = std::string(paths_WatchFolder()) + kImageOkMarker;
  const std::string record = std::string(paths_WorkFolder()) + kCommitRecordName;
  const kv::Result<std::string> state = statefile_Read(record, sizeof kCommitted);
  const bool committed = state && state.value() == kCommitted;
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
  if (!marked && !committed) return;
  if (simulate != 0) {
    log_Print(1, "doInstall_MenderCommit, SIM mode, pretend to do mender commit\n");
    return;
  }
  // The marker goes only once the commit and the steps after it are done. A
  // commit that failed or was cut off is tried again at the next start. A
  // marker that is not the daemon's own new image commits nothing: the
  // updater refuses a commit when no update waits for one. Once the commit
  // has succeeded the record says so, and a start after a kill finishes the
  // steps without committing a second time.
  if (!committed) {
    const int status = RunCommit();
    if (status != 0) {
      log_PrintPriority(kPriorityError, 1,
                        "doInstall_MenderCommit, Mender image commit failed! status %d, tried again at the next "
                        "start\n",
                        status);
      return;
    }
    if (kv::Status written = statefile_Write(record, kCommitted); !written) {
      log_Print(3, "doInstall_MenderCommit, commit record not written: %s\n", written.error().message().c_str());
    }
  }
  log_Print(1, "doInstall_MenderCommit, Mender image commit completed! \n");
  doInstall_CleanUpperdir();
  cmd_System(paths_Device(devpath::kSyncUsers).c_str());
  for (const std::string& done : {marker, record}) {
    if (kv::Status removed = statefile_Remove(done); !removed) {
      log_Print(3, "doInstall_MenderCommit, %s not removed: %s\n", done.c_str(), removed.error().message().c_str());
    }
  }
  Park();
}

std::chrono::seconds doInstall_ImageDeadline() {
  const char* text = std::getenv(kImageDeadlineEnvironment);
  if (text != nullptr) {
    long long seconds = 0;
    const char* end = text + std::strlen(text);
    const auto [at, ec] = std::from_chars(text, end, seconds);
    if (ec == std::errc() && at == end && seconds > 0) return std::chrono::seconds(seconds);
  }
  return kImageDeadlineDefault;
}
