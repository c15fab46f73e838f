// Placeholders of the parts not built yet; each is removed when its part lands.
#include <cstdio>

#include "kvplant/plant.h"

namespace kvplant {

namespace {
int NotYet(const char* what) {
  std::fprintf(stderr, "kvplant: %s is not built yet\n", what);
  return kExitUsage;
}
}  // namespace

// --- rollout (rollout.cpp, sftp.cpp) ---
int CmdRollout(int, char**) { return NotYet("rollout"); }
int CmdResume(int, char**) { return NotYet("resume"); }
int CmdSend(int, char**) { return NotYet("send"); }
int CmdWait(int, char**) { return NotYet("wait"); }

}  // namespace kvplant
