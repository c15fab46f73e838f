#include "core/restart.h"

#include <linux/reboot.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cstdio>

#include "core/log.h"
#include "core/paths.h"

int platform_Restart() {
  ::sync();
  if (paths_IsSandboxed() != 0) {
    log_Print(0, "Restart requested, sandbox root set: exiting with status %d instead of restarting the machine",
              kSandboxRestartExitStatus);
    std::fflush(stdout);
    ::_exit(kSandboxRestartExitStatus);
  }
  return ::reboot(LINUX_REBOOT_CMD_RESTART);
}
