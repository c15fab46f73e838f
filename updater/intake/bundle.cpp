#include "intake/bundle.h"

#include <cstdio>

#include "core/cmd.h"
#include "core/paths.h"

void bundle_CreateFolder() {
  char line[512];
  std::snprintf(line, sizeof line, "mkdir -p \"%s%s\"", paths_WorkFolder(), "bundle/");
  cmd_Run(line);
}
