#include "install/appinstall.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "install/roadrecord.h"
#include "intake/cleanup.h"
#include "intake/inflight.h"

namespace {

constexpr long kOneSecond = 1000000;

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
    inflight_Installed();
    return;
  }
  const std::string line = InstallerUnitLine(package);
  log_Print(2, "doInstall_silentInstall Start Package Install silently- : %s\n", line.c_str());
  inflight_Installed();
  cmd_Run(line.c_str());
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
  // From here until the installer unit starts, the services are this road's
  // to bring back; a start that finds the record does it.
  doInstall_BeginServiceRoad(("application install of " + std::string(package)).c_str());
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
  doInstall_EndServiceRoad();
  inflight_Installed();
  if (simulate != 1) cmd_Run(InstallerUnitLine(package).c_str());
  if (simulate != 0) log_Print(1, "doInstall_execStartAppInstall, SIM mode done \n");
}
