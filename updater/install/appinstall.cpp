#include "install/appinstall.h"

#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "idprot/progress.h"
#include "intake/cleanup.h"

namespace {

constexpr long kOneSecond = 1000000;

// The package of an installer unit left running at its deadline.
std::string gLeftRunning;

const char* const kKv2TouchUnits[] = {"display-saver", "app", "kvserver", "kvwebview", "display-manager"};
const char* const kKorvelSrUnits[] = {"app", "kvserver", "kvwebview", "display-manager"};
const char* const kKorvelRUnits[] = {"app", "kvserver"};

bool Is(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

void WakeScreenSaver() {
  cmd_System("xset -display :0.0 s activate");
  kv_SleepMicroseconds(kOneSecond);
  cmd_System("xset -display :0.0 s activate");
  kv_SleepMicroseconds(kOneSecond);
}

std::string InstallerUnitLine(const char* package) {
  return std::string("systemctl start \"install@") + package + "\"";
}

// How the installer unit's start ended.
enum class UnitEnd { kInstalled, kFailed, kLeftRunning };

// Starts the installer unit and waits for its result, under a deadline and
// with the watchdog fed meanwhile. A start still waiting at the deadline is
// left to the service manager, whose job goes on. A unit that failed is said
// where the technician looks: an error line, the update log, and the
// progress record that the status answer reports.
UnitEnd StartInstallerUnit(const char* caller, const char* package, unsigned logKind) {
  const std::chrono::seconds deadline = doInstall_InstallDeadline();
  const int status = cmd_RunWatched(InstallerUnitLine(package).c_str(), deadline);
  if (status == kCmdOverran) {
    gLeftRunning = std::string(package) + ".ipk";
    log_PrintPriority(kPriorityError, 1,
                      "%s, installer unit install@%s still running after %lld seconds, left to the service "
                      "manager\n",
                      caller, package, static_cast<long long>(deadline.count()));
    return UnitEnd::kLeftRunning;
  }
  if (status == kCmdRefused) return UnitEnd::kFailed;  // the line was refused with its own message
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return UnitEnd::kInstalled;
  const int code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  log_PrintPriority(kPriorityError, 1, "%s, installer unit install@%s failed (status %d), not installed\n", caller,
                    package, code);
  UpdateLog(logKind, (std::string(package) + ", installation failed").c_str());
  progress_SetError("Package installation failed", kInstallFailedError);
  progress_SetAction("Package install done", 3);
  return UnitEnd::kFailed;
}

}  // namespace

void doInstall_ControlServices(const char* platform, int action) {
  static const char* const kActions[] = {"stop", "restart"};
  if (action < 0 || action > 1) return;
  const char* const* units = nullptr;
  std::size_t count = 0;
  if (Is(platform, "kv2-touch")) {
    units = kKv2TouchUnits;
    count = std::size(kKv2TouchUnits);
  } else if (Is(platform, "korvel-sr")) {
    units = kKorvelSrUnits;
    count = std::size(kKorvelSrUnits);
  } else if (Is(platform, "korvel-r")) {
    units = kKorvelRUnits;
    count = std::size(kKorvelRUnits);
  }
  for (std::size_t i = 0; i < count; ++i) {
    char line[100];
    std::snprintf(line, sizeof line, "systemctl %s %s", kActions[action], units[i]);
    cmd_System(line);
  }
}

void doInstall_SetBacklight() {
  const std::string path = paths_Device(devpath::kBacklight);
  if (kv::File f = kv::OpenFile(path.c_str(), "r+")) std::fputc('8', f.get());
}

void doInstall_silentInstall(const char* package, int simulate) {
  scandir_Deletefiles(paths_WorkFolder(), "GZ");
  scandir_Deletefiles(paths_WatchFolder(), "LOCK");
  ::sync();
  if (simulate == 1) {
    log_Print(1, "doInstall_silentInstall, SIM mode, pretend to install '%s' with 'systemctl start install@%s  '\n",
              package, package);
    return;
  }
  const std::string line = InstallerUnitLine(package);
  log_Print(2, "doInstall_silentInstall Start Package Install silently- : %s\n", line.c_str());
  (void)StartInstallerUnit("doInstall_silentInstall", package,
                           std::strcmp(package, "kvupdaterd") == 0 ? kUpdateLogKvUpdater : kUpdateLogIpk);
}

void doInstall_execStartAppInstall(const char* package, const char* platform, int simulate) {
  log_Print(1, "doInstall_execStartAppInstall, App start install (platf)%s \n", platform);
  // Only the platform's own application package is installed with the
  // display prepared for it.
  const bool withDisplay =
      (Is(platform, "kv2-touch") || Is(platform, "korvel-sr") || Is(platform, "korvel-r")) && Is(package, platform);
  if (!withDisplay) {
    doInstall_silentInstall(package, simulate);
    return;
  }
  const char* message = nullptr;
  if (Is(platform, "korvel-r")) {
    doInstall_ControlServices(platform, kServiceStop);
    cmd_System("psplash &");
    kv_SleepMicroseconds(kOneSecond);
    message = "psplash-write \"MSG Init sw update..\"";
    doInstall_SetBacklight();
  } else {
    WakeScreenSaver();
    doInstall_ControlServices(platform, kServiceStop);
    cmd_System("psplash -a 180 &");
    message = "psplash-write \"MSG Preparing software update...\"";
  }

  kv_SleepMicroseconds(kOneSecond);
  cmd_System(message);
  log_Print(2, "doInstall_execStartAppInstall, StartAppInstall - : %s\n", message);
  kv_SleepMicroseconds(kOneSecond);
  ::sync();

  scandir_Deletefiles(paths_WorkFolder(), "CRY");
  scandir_Deletefiles(paths_WatchFolder(), "LOCK");
  scandir_Deletefiles(paths_WorkFolder(), "IPKTMP");
  log_Print(2, "Start Package Install - : %s\n", message);
  // The installer unit brings the application back; it runs as a job of the
  // service manager and finishes even when the daemon is killed meanwhile.
  if (simulate != 1 &&
      StartInstallerUnit("doInstall_execStartAppInstall", package, kUpdateLogIpk) == UnitEnd::kFailed) {
    // The unit brings the application back when it installed it; when it
    // failed, the daemon does, so that the controller is not left without
    // its application behind a splash screen.
    doInstall_ControlServices(platform, kServiceRestart);
    cmd_System("psplash-write \"QUIT\"");
  }
  if (simulate != 0) log_Print(1, "doInstall_execStartAppInstall, SIM mode done \n");
}

const char* doInstall_PackageInUse() { return gLeftRunning.c_str(); }

std::chrono::seconds doInstall_InstallDeadline() {
  return cmd_DeadlineFrom(kInstallDeadlineEnvironment, kInstallDeadlineDefault);
}
