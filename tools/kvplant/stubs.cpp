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

// --- inventory and pre-flight (inventory.cpp, preflight.cpp) ---
kv::Result<Inventory> LoadInventory(const std::string&) { return kv::Error(1, "inventory files are not built yet"); }
std::string InventoryJson(const Inventory&) { return "{}\n"; }
std::string InventoryCsv(const Inventory&) { return ""; }
kv::Result<std::vector<ReleaseFile>> LoadRelease(const std::vector<std::string>&) {
  return kv::Error(1, "releases are not built yet");
}
std::vector<Plan> PlanRelease(const std::vector<ReleaseFile>&, const Inventory&, const std::string&) { return {}; }
int CmdInventory(int, char**) { return NotYet("inventory"); }
int CmdDiff(int, char**) { return NotYet("diff"); }
int CmdPreflight(int, char**) { return NotYet("preflight"); }

// --- rollout (rollout.cpp, sftp.cpp) ---
int CmdRollout(int, char**) { return NotYet("rollout"); }
int CmdResume(int, char**) { return NotYet("resume"); }
int CmdSend(int, char**) { return NotYet("send"); }
int CmdWait(int, char**) { return NotYet("wait"); }

}  // namespace kvplant
