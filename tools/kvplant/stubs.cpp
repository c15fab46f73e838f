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
std::string InventoryJson(const Inventory&) { return "{}\n"; }
std::string InventoryCsv(const Inventory&) { return ""; }
int CmdInventory(int, char**) { return NotYet("inventory"); }
int CmdDiff(int, char**) { return NotYet("diff"); }
int CmdPreflight(int, char**) { return NotYet("preflight"); }

}  // namespace kvplant
