#include "core/mainloop.h"

#include <unistd.h>

#include "config/identity.h"
#include "core/log.h"
#include "core/options.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "install/savedstate.h"
#include "intake/bundle.h"

void mainloop_StartUp(int argc, char** argv) {
  DaemonOptions& options = options_Get();
  options = DaemonOptions{};
  options_Parse(argc, argv);

  log_SetVerbose(options.verboseLevel);
  log_SetStdout(options.logToStdout);
  log_SetIdent("kvupdaterd");

  log_Print(1, "%s, 718233.004, Ver:3.8 - started by User %d\n", argv[0], static_cast<int>(getuid()));
  if (options.simulate != 0) log_Print(1, "Main, simulation mode is selected, nothing will be installed");

  doInstall_RemoveSavedState();
  config_Init();
  config_LoadIdData();
  bundle_CreateFolder();

  log_Print(1, "Main,  looking for changes in %s .....\n", paths_WatchFolder());
}

void mainloop_Pass() {
  kv_SleepMicroseconds(kPassSleepMicroseconds);
}

void mainloop_Run() {
  for (;;) mainloop_Pass();
}
