// kvplant diff: what changed between two inventories of a plant, controller
// by controller (known by MAC address).
#include <cjson/cJSON.h>
#include <getopt.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "kvid/kvid.h"
#include "kvplant/plant.h"

namespace kvplant {

namespace {

constexpr const char* kDiffHelp =
    "Usage: kvplant diff OLD.json NEW.json [--json]\n"
    "\n"
    "Compares two inventories controller by controller (by MAC address) and prints one line per change:\n"
    "  gone MAC ADDRESS DEVICE                      in OLD only\n"
    "  new MAC ADDRESS DEVICE                       in NEW only\n"
    "  moved MAC ADDRESS sw_revision A -> B         its application's revision changed\n"
    "  moved MAC ADDRESS image_version A -> B       its OS image's revision changed\n"
    "  readdressed MAC A -> B                       its addresses changed\n"
    "and last 'N gone, N new, N moved, N unchanged' (moved: every controller with a moved or readdressed\n"
    "line). Texts from the files are shown with control characters as '?'.\n"
    "\n"
    "      --json     one JSON object: the changes and the counts\n"
    "  -h, --help     show this help\n"
    "\n"
    "Exit status: 0 nothing changed, 1 something did, 2 usage error or unreadable inventory.\n";

std::string Shown(const std::string& text) { return text.empty() ? "-" : kvid::Shown(text, false); }

std::string Joined(const std::vector<std::string>& addresses) {
  std::string out;
  for (const std::string& a : addresses) out += (out.empty() ? "" : ",") + a;
  return out;
}

// The key a controller is matched by: its MAC address, or its first address
// when it reported no usable MAC.
std::string Key(const Controller& c) {
  if (!c.mac.empty() && c.mac != "00:00:00:00:00:00") return "m" + c.mac;
  return "a" + c.addresses.front();
}

struct Side {
  std::vector<const Controller*> old, now;
};

cJSON* Change(cJSON* list, const char* kind, const Controller& c) {
  cJSON* o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "change", kind);
  cJSON_AddStringToObject(o, "mac", c.mac.c_str());
  cJSON_AddStringToObject(o, "address", c.addresses.front().c_str());
  cJSON_AddItemToArray(list, o);
  return o;
}

cJSON* AddressList(const std::vector<std::string>& addresses) {
  cJSON* a = cJSON_CreateArray();
  for (const std::string& s : addresses) cJSON_AddItemToArray(a, cJSON_CreateString(s.c_str()));
  return a;
}

}  // namespace

InventoryDiff DiffInventories(const Inventory& old, const Inventory& now) {
  const Inventory* const inventories[2] = {&old, &now};
  std::map<std::string, Side> byKey;
  for (const Controller& c : inventories[0]->controllers) byKey[Key(c)].old.push_back(&c);
  for (const Controller& c : inventories[1]->controllers) byKey[Key(c)].now.push_back(&c);

  int gone = 0, added = 0, moved = 0, unchanged = 0;
  std::string text;
  const kv::Json doc(cJSON_CreateObject());
  cJSON* changes = cJSON_AddArrayToObject(doc.get(), "changes");
  for (const auto& [key, side] : byKey) {
    // Two entries of one MAC (two interfaces claiming it) are paired in order.
    for (std::size_t i = 0; i < side.old.size() || i < side.now.size(); ++i) {
      if (i >= side.now.size()) {
        const Controller& c = *side.old[i];
        ++gone;
        text += "gone " + Shown(c.mac) + " " + c.addresses.front() + " " + Shown(c.deviceName) + "\n";
        cJSON_AddStringToObject(Change(changes, "gone", c), "device_name", c.deviceName.c_str());
        continue;
      }
      if (i >= side.old.size()) {
        const Controller& c = *side.now[i];
        ++added;
        text += "new " + Shown(c.mac) + " " + c.addresses.front() + " " + Shown(c.deviceName) + "\n";
        cJSON_AddStringToObject(Change(changes, "new", c), "device_name", c.deviceName.c_str());
        continue;
      }
      const Controller& a = *side.old[i];
      const Controller& b = *side.now[i];
      bool changed = false;
      for (const auto& [fact, from, to] :
           {std::tuple<const char*, const std::string&, const std::string&>{"sw_revision", a.swRevision, b.swRevision},
            {"image_version", a.imageVersion, b.imageVersion}}) {
        if (from == to) continue;
        changed = true;
        text += "moved " + Shown(b.mac) + " " + b.addresses.front() + " " + fact + " " + Shown(from) + " -> " +
                Shown(to) + "\n";
        cJSON* o = Change(changes, "moved", b);
        cJSON_AddStringToObject(o, "fact", fact);
        cJSON_AddStringToObject(o, "from", from.c_str());
        cJSON_AddStringToObject(o, "to", to.c_str());
      }
      if (a.addresses != b.addresses) {
        changed = true;
        text += "readdressed " + Shown(b.mac) + " " + Joined(a.addresses) + " -> " + Joined(b.addresses) + "\n";
        cJSON* o = Change(changes, "readdressed", b);
        cJSON_AddItemToObject(o, "from", AddressList(a.addresses));
        cJSON_AddItemToObject(o, "to", AddressList(b.addresses));
      }
      ++(changed ? moved : unchanged);
    }
  }
  cJSON_AddNumberToObject(doc.get(), "gone", gone);
  cJSON_AddNumberToObject(doc.get(), "new", added);
  cJSON_AddNumberToObject(doc.get(), "moved", moved);
  cJSON_AddNumberToObject(doc.get(), "unchanged", unchanged);
  InventoryDiff d;
  kv::CMemory<char> printed(cJSON_PrintUnformatted(doc.get()));
  if (printed) d.json = printed.get();
  d.text = text + std::to_string(gone) + " gone, " + std::to_string(added) + " new, " + std::to_string(moved) +
           " moved, " + std::to_string(unchanged) + " unchanged\n";
  d.gone = gone;
  d.added = added;
  d.moved = moved;
  d.unchanged = unchanged;
  return d;
}

int CmdDiff(int argc, char** argv) {
  static const option kLong[] = {
      {"json", no_argument, nullptr, 256}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  bool json = false;
  ::optind = 0;
  ::opterr = 0;
  for (int c; (c = ::getopt_long(argc, argv, ":h", kLong, nullptr)) != -1;) {
    if (c == 'h') {
      std::fputs(kDiffHelp, stdout);
      return kExitOk;
    }
    if (c == 256) {
      json = true;
      continue;
    }
    const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    std::fprintf(stderr, "kvplant: unknown option '%s'\nTry 'kvplant diff --help' for more information.\n",
                 kvid::Shown(word, false).c_str());
    return kExitUsage;
  }
  if (argc - optind != 2) {
    std::fprintf(stderr,
                 "kvplant: diff compares two inventories: OLD.json NEW.json\n"
                 "Try 'kvplant diff --help' for more information.\n");
    return kExitUsage;
  }
  Inventory inventories[2];
  for (int i = 0; i < 2; ++i) {
    auto loaded = LoadInventory(argv[optind + i]);
    if (!loaded) {
      std::fprintf(stderr, "kvplant: %s\n", kvid::Shown(loaded.error().message(), false).c_str());
      return kExitUsage;
    }
    inventories[i] = std::move(loaded).value();
  }
  const InventoryDiff d = DiffInventories(inventories[0], inventories[1]);
  std::fputs((json ? d.json + "\n" : d.text).c_str(), stdout);
  return d.gone + d.added + d.moved == 0 ? kExitOk : kExitFailed;
}

}  // namespace kvplant
