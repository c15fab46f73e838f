#include "install/savedstate.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/paths.h"

void doInstall_RemoveSavedState() {
  // The work folder carries its trailing slash, so these paths hold "//";
  // the file system treats that as one separator.
  const std::string work = paths_WorkFolder();
  (void)std::remove((work + "/status").c_str());
  (void)std::remove((work + "/app-data").c_str());
  ::sync();
}
