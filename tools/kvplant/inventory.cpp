// The plant's inventory: discovery over the identification protocol, each
// controller's status asked in parallel, and the inventory's files (JSON,
// read back by every command; CSV and the Ansible inventory, written only).
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "idprot/idiface.h"
#include "kvid/kvid.h"
#include "kvpack/kvpack.h"
#include "kvplant/plant.h"

namespace kvplant {

namespace {

using kv::Json;

// Bounds of an inventory file: beyond any plant, well within a laptop.
constexpr std::size_t kMaxInventoryControllers = 65536;
constexpr long long kMaxInventoryBytes = 64LL << 20;
// A text a controller sent fits in its answer; a longer one in a file did not
// come from a controller.
constexpr std::size_t kMaxTextBytes = kvid::kMaxAnswerBytes;
// An interface answers from its IPv4 address and up to four IPv6 ones.
constexpr std::size_t kMaxAddresses = 16;

// Status requests in flight at once, and how long each address is waited for.
constexpr unsigned kStatusParallel = 32;
constexpr int kStatusWaitMs = 2000;
constexpr int kDiscoverWaitMs = 4000;

constexpr std::string_view kStatusRequest("IDUPDATESTATUS\0", 15);

int Usage(const std::string& what, const char* command) {
  std::fprintf(stderr, "kvplant: %s\nTry 'kvplant %s --help' for more information.\n", what.c_str(), command);
  return kExitUsage;
}

std::string Printed(const std::string& text) { return kvid::Shown(text, false); }

// The option word getopt refused, for the usage line.
std::string Refused(int c, int argc, char** argv) {
  const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
  if (c == ':') return "option '" + word + "' needs a value";
  if (optopt != 0 && optopt < 256) return std::string("unknown option '-") + static_cast<char>(optopt) + "'";
  return "unknown option '" + word + "'";
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// IPv6 addresses before IPv4 ones, each family in the order it answered.
void IPv6First(std::vector<std::string>& addresses) {
  std::stable_partition(addresses.begin(), addresses.end(),
                        [](const std::string& a) { return a.find(':') != std::string::npos; });
}

// Whether text is a numeric address a connection may use: IPv4, or IPv6
// with an optional "%interface" for a link-local one.
bool NumericAddress(const std::string& text) {
  unsigned char buf[16];
  if (::inet_pton(AF_INET, text.c_str(), buf) == 1) return true;
  const std::size_t scope = text.find('%');
  const std::string bare = text.substr(0, scope);
  if (::inet_pton(AF_INET6, bare.c_str(), buf) != 1) return false;
  if (scope == std::string::npos) return true;
  const std::string name = text.substr(scope + 1);
  return !name.empty() && name.size() < IF_NAMESIZE &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
             std::string::npos;
}

// --- status ------------------------------------------------------------------

// The status of one controller: its addresses asked in turn until one answers.
std::optional<kvid::Status> AskStatus(const Controller& c, int port, std::string& why) {
  for (const std::string& address : c.addresses) {
    const std::size_t scope = address.find('%');
    const unsigned index = scope == std::string::npos ? 0 : ::if_nametoindex(address.substr(scope + 1).c_str());
    auto target = kvid::MakeTarget(address.substr(0, scope), index, port);
    if (!target) continue;
    kvid::Peer peer;
    std::optional<kvid::Status> taken;
    const kvid::Judge judge = [&peer, &taken](std::string_view answer, const kvid::Nonce& asked) -> kvid::Judged {
      auto s = kvid::DecodeStatus(answer);
      if (!s) return {kvid::Verdict::kMalformed, s.error().message()};
      if (kvid::JudgeNonce(s.value().nonce, asked, peer) == kvid::Freshness::kStale)
        return {kvid::Verdict::kPassOver, "not the nonce asked"};
      taken = std::move(s).value();
      return {kvid::Verdict::kTake, {}};
    };
    const auto r = kvid::Exchange(target.value(), index, kStatusRequest, peer, kStatusWaitMs, judge);
    if (!r) {
      why = r.error().message();
      continue;
    }
    if (taken) return taken;
    why = r.value().malformed.empty() ? "no status answer from " + address
                                      : "malformed status answer from " + address + ": " + r.value().malformed;
  }
  return std::nullopt;
}

// Asks every controller its status, kStatusParallel at once; fills daemon,
// updating and action. Gives a note for each controller that did not answer.
std::vector<std::string> AddStatus(std::vector<Controller>& controllers, int port) {
  std::vector<std::string> why(controllers.size());
  std::atomic<std::size_t> next{0};
  auto work = [&]() {
    for (std::size_t i = next++; i < controllers.size(); i = next++) {
      Controller& c = controllers[i];
      const auto s = AskStatus(c, port, why[i]);
      if (!s) continue;
      why[i].clear();
      c.daemon = s->sent.serverName + (s->sent.serverRevision.empty() ? "" : " " + s->sent.serverRevision);
      // Code 1: installing; 2: installed, restarting into it.
      c.updating = s->actionCode == 1 || s->actionCode == 2;
      c.action = s->sent.action;
    }
  };
  std::vector<std::thread> workers;
  const std::size_t n = std::min<std::size_t>(kStatusParallel, controllers.size());
  workers.reserve(n);
  for (std::size_t i = 0; i < n; ++i) workers.emplace_back(work);
  for (std::thread& t : workers) t.join();
  std::vector<std::string> notes;
  for (const std::string& w : why)
    if (!w.empty()) notes.push_back(w);
  return notes;
}

// --- interfaces --------------------------------------------------------------

// Every interface that is up and can carry a discovery (not the loopback).
void UpInterfaces(kvid::DiscoverRequest& request) {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return;
  std::set<std::string> seen;
  for (const ifaddrs* a = raw; a != nullptr; a = a->ifa_next) {
    if (a->ifa_name == nullptr || (a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0 ||
        (a->ifa_flags & (IFF_MULTICAST | IFF_BROADCAST)) == 0 || !seen.insert(a->ifa_name).second)
      continue;
    const unsigned index = ::if_nametoindex(a->ifa_name);
    if (index == 0) continue;
    request.interfaces.push_back(index);
    request.interfaceNames.emplace_back(a->ifa_name);
  }
  ::freeifaddrs(raw);
}

Controller FromDiscovered(const kvid::Discovered& d) {
  Controller c;
  c.mac = d.id.sent.mac;
  c.addresses = d.addresses;
  IPv6First(c.addresses);
  c.interfaceName = d.id.sent.interfaceName;
  c.platform = d.id.sent.device;
  c.deviceName = d.id.sent.deviceName;
  c.swRevision = d.id.sent.swRevision;
  c.imageVersion = d.id.sent.imageVersion;
  c.appRunning = d.id.appRunning;
  return c;
}

void SortByMac(std::vector<Controller>& controllers) {
  std::stable_sort(controllers.begin(), controllers.end(), [](const Controller& a, const Controller& b) {
    if (a.mac != b.mac) return a.mac < b.mac;
    return a.addresses < b.addresses;
  });
}

// --- files -------------------------------------------------------------------

std::string Serialised(const cJSON* doc, bool formatted) {
  kv::CMemory<char> text(formatted ? cJSON_Print(doc) : cJSON_PrintUnformatted(doc));
  return text ? std::string(text.get()) + "\n" : std::string();
}

// Reads a whole file: a regular file, opened without following a FIFO's
// writer or a terminal, at most cap bytes.
kv::Result<std::string> ReadCapped(const std::string& path, long long cap) {
  const kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return kv::SystemError("cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return kv::SystemError("cannot read " + path);
  if (!S_ISREG(st.st_mode)) return kv::Error(0, path + " is not a regular file");
  if (st.st_size > cap) return kv::Error(0, path + " is larger than " + std::to_string(cap >> 20) + " MiB");
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("cannot read " + path);
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);
  return text;
}

// A text member of a stored controller, under the checks a controller's
// text passes: valid UTF-8 kept (anything else as '?'), bounded.
kv::Status StoredText(const cJSON* o, const char* key, bool required, std::string& out) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
  if (v == nullptr && !required) return kv::Ok();
  if (!cJSON_IsString(v)) return kv::Error(0, std::string("\"") + key + "\" is not a text");
  if (std::strlen(v->valuestring) > kMaxTextBytes)
    return kv::Error(0, std::string("\"") + key + "\" is longer than " + std::to_string(kMaxTextBytes) + " bytes");
  out = kvid::ValidUtf8(v->valuestring);
  return kv::Ok();
}

kv::Status StoredBool(const cJSON* o, const char* key, bool& out) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
  if (v == nullptr) return kv::Ok();
  if (!cJSON_IsBool(v)) return kv::Error(0, std::string("\"") + key + "\" is not true or false");
  out = cJSON_IsTrue(v);
  return kv::Ok();
}

kv::Result<Controller> StoredController(const cJSON* o) {
  Controller c;
  if (!cJSON_IsObject(o)) return kv::Error(0, "not an object");
  const cJSON* addresses = cJSON_GetObjectItemCaseSensitive(o, "addresses");
  if (!cJSON_IsArray(addresses)) return kv::Error(0, "\"addresses\" is not a list");
  for (const cJSON* a = addresses->child; a != nullptr; a = a->next) {
    if (!cJSON_IsString(a) || !NumericAddress(a->valuestring))
      return kv::Error(0, "\"addresses\" holds something other than a numeric address");
    if (c.addresses.size() == kMaxAddresses)
      return kv::Error(0, "more than " + std::to_string(kMaxAddresses) + " addresses");
    c.addresses.emplace_back(a->valuestring);
  }
  if (c.addresses.empty()) return kv::Error(0, "no address");
  const std::pair<const char*, std::string*> texts[] = {{"interface", &c.interfaceName},
                                                        {"platform", &c.platform},
                                                        {"device_name", &c.deviceName},
                                                        {"sw_revision", &c.swRevision},
                                                        {"image_version", &c.imageVersion},
                                                        {"daemon", &c.daemon},
                                                        {"action", &c.action}};
  if (auto s = StoredText(o, "mac", true, c.mac); !s) return s.error();
  for (const auto& [key, out] : texts)
    if (auto s = StoredText(o, key, false, *out); !s) return s.error();
  if (auto s = StoredBool(o, "app_running", c.appRunning); !s) return s.error();
  if (auto s = StoredBool(o, "updating", c.updating); !s) return s.error();
  return c;
}

// --- CSV and Ansible -------------------------------------------------------------

// An Ansible group name: lower case, every character but [a-z0-9_] as '_'.
std::string GroupName(const std::string& prefix, const std::string& value) {
  std::string name = prefix;
  for (const char ch : value) {
    const char l = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    name += (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '_' ? l : '_';
  }
  return name;
}

// A controller's text as an Ansible host variable. Ansible expands "{{",
// "{%" and "{#" in inventory variables; a text that came from a controller
// is marked as never to be expanded when it holds a '{'.
cJSON* AnsibleText(const std::string& text) {
  if (text.find('{') == std::string::npos) return cJSON_CreateString(text.c_str());
  cJSON* unsafe = cJSON_CreateObject();
  cJSON_AddStringToObject(unsafe, "__ansible_unsafe", text.c_str());
  return unsafe;
}

std::string AnsibleInventory(const Inventory& inventory) {
  const Json doc(cJSON_CreateObject());
  cJSON* hostvars = cJSON_CreateObject();
  cJSON* meta = cJSON_AddObjectToObject(doc.get(), "_meta");
  cJSON_AddItemToObject(meta, "hostvars", hostvars);
  std::map<std::string, std::vector<std::string>> groups;
  for (const Controller& c : inventory.controllers) {
    const std::string& host = c.addresses.front();
    if (cJSON_GetObjectItemCaseSensitive(hostvars, host.c_str()) != nullptr) continue;  // one host per address
    cJSON* vars = cJSON_CreateObject();
    cJSON_AddItemToObject(vars, "kv_mac", AnsibleText(c.mac));
    cJSON* addresses = cJSON_AddArrayToObject(vars, "kv_addresses");
    for (const std::string& a : c.addresses) cJSON_AddItemToArray(addresses, cJSON_CreateString(a.c_str()));
    cJSON_AddItemToObject(vars, "kv_platform", AnsibleText(c.platform));
    cJSON_AddItemToObject(vars, "kv_device_name", AnsibleText(c.deviceName));
    cJSON_AddItemToObject(vars, "kv_sw_revision", AnsibleText(c.swRevision));
    cJSON_AddItemToObject(vars, "kv_image_version", AnsibleText(c.imageVersion));
    cJSON_AddItemToObject(vars, "kv_daemon", AnsibleText(c.daemon));
    cJSON_AddBoolToObject(vars, "kv_updating", c.updating);
    cJSON_AddItemToObject(hostvars, host.c_str(), vars);
    groups[GroupName("platform_", c.platform)].push_back(host);
    groups[GroupName("image_", c.imageVersion)].push_back(host);
    groups[GroupName("app_", AppRevision(c.swRevision))].push_back(host);
  }
  cJSON* children = cJSON_AddArrayToObject(cJSON_AddObjectToObject(doc.get(), "all"), "children");
  for (const auto& [name, hosts] : groups) {
    if (name == "all" || name == "_meta") continue;
    cJSON_AddItemToArray(children, cJSON_CreateString(name.c_str()));
    cJSON* list = cJSON_AddArrayToObject(cJSON_AddObjectToObject(doc.get(), name.c_str()), "hosts");
    for (const std::string& h : hosts) cJSON_AddItemToArray(list, cJSON_CreateString(h.c_str()));
  }
  return Serialised(doc.get(), true);
}

// Writes text to path through a temporary file renamed into place.
kv::Status WriteFile(const std::string& path, const std::string& text) {
  kvpack::OutputFile out;
  if (auto opened = out.Open(path); !opened) return opened;
  if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size())
    return kv::SystemError("cannot write " + path);
  return out.Commit();
}

}  // namespace

// One CSV cell (RFC 4180): shown as text, a leading = + - @ guarded with a
// ' so that a spreadsheet does not take the cell for a formula, quoted when
// it holds a comma, a quote or a line break.
std::string CsvCell(const std::string& text) {
  std::string cell = Printed(text);
  if (!cell.empty() && std::strchr("=+-@", cell.front()) != nullptr) cell = '\'' + cell;
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (const char ch : cell) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return quoted + "\"";
}

// --- the model's files ---------------------------------------------------------

cJSON* ControllerJson(const Controller& c) {
  cJSON* o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "mac", c.mac.c_str());
  cJSON* addresses = cJSON_AddArrayToObject(o, "addresses");
  for (const std::string& a : c.addresses) cJSON_AddItemToArray(addresses, cJSON_CreateString(a.c_str()));
  cJSON_AddStringToObject(o, "interface", c.interfaceName.c_str());
  cJSON_AddStringToObject(o, "platform", c.platform.c_str());
  cJSON_AddStringToObject(o, "device_name", c.deviceName.c_str());
  cJSON_AddStringToObject(o, "sw_revision", c.swRevision.c_str());
  cJSON_AddStringToObject(o, "image_version", c.imageVersion.c_str());
  cJSON_AddStringToObject(o, "daemon", c.daemon.c_str());
  cJSON_AddBoolToObject(o, "app_running", c.appRunning);
  cJSON_AddBoolToObject(o, "updating", c.updating);
  cJSON_AddStringToObject(o, "action", c.action.c_str());
  return o;
}

std::string InventoryJson(const Inventory& inventory) {
  const Json doc(cJSON_CreateObject());
  cJSON_AddStringToObject(doc.get(), "format", "kvplant-inventory");
  cJSON_AddNumberToObject(doc.get(), "version", 1);
  cJSON_AddStringToObject(doc.get(), "taken", inventory.taken.c_str());
  cJSON* list = cJSON_AddArrayToObject(doc.get(), "controllers");
  for (const Controller& c : inventory.controllers) cJSON_AddItemToArray(list, ControllerJson(c));
  return Serialised(doc.get(), true);
}

std::string InventoryCsv(const Inventory& inventory) {
  std::string out =
      "mac,address,addresses,interface,platform,device_name,sw_revision,image_version,daemon,app_running,"
      "updating\r\n";
  for (const Controller& c : inventory.controllers) {
    std::string all;
    for (const std::string& a : c.addresses) all += (all.empty() ? "" : " ") + a;
    const std::string* const cells[] = {&c.mac,           &c.addresses.front(), &all,
                                        &c.interfaceName, &c.platform,          &c.deviceName,
                                        &c.swRevision,    &c.imageVersion,      &c.daemon};
    for (const std::string* cell : cells) out += CsvCell(*cell) + ",";
    out += std::string(c.appRunning ? "true" : "false") + "," + (c.updating ? "true" : "false") + "\r\n";
  }
  return out;
}

kv::Result<Inventory> LoadInventory(const std::string& path) {
  auto text = ReadCapped(path, kMaxInventoryBytes);
  if (!text) return text.error();
  const char* end = nullptr;
  const Json doc(cJSON_ParseWithLengthOpts(text.value().data(), text.value().size(), &end, false));
  const cJSON* format = cJSON_GetObjectItemCaseSensitive(doc.get(), "format");
  const cJSON* version = cJSON_GetObjectItemCaseSensitive(doc.get(), "version");
  if (!cJSON_IsObject(doc.get()) || !cJSON_IsString(format) ||
      std::strcmp(format->valuestring, "kvplant-inventory") != 0)
    return kv::Error(0, path + " is not a kvplant inventory");
  if (!cJSON_IsNumber(version) || version->valuedouble != 1)
    return kv::Error(0, path + ": inventory version " +
                            (cJSON_IsNumber(version) ? std::to_string(version->valuedouble) : std::string("?")) +
                            " is not one this kvplant reads (1)");
  for (const char* p = end; p != nullptr && p < text.value().data() + text.value().size(); ++p)
    if (std::strchr(" \t\r\n", *p) == nullptr) return kv::Error(0, path + ": bytes after the inventory");
  Inventory out;
  if (auto s = StoredText(doc.get(), "taken", false, out.taken); !s) return s.error().WithContext(path);
  const cJSON* list = cJSON_GetObjectItemCaseSensitive(doc.get(), "controllers");
  if (!cJSON_IsArray(list)) return kv::Error(0, path + ": \"controllers\" is not a list");
  std::size_t n = 0;
  for (const cJSON* o = list->child; o != nullptr; o = o->next, ++n) {
    if (n == kMaxInventoryControllers)
      return kv::Error(0, path + ": more than " + std::to_string(kMaxInventoryControllers) + " controllers");
    auto c = StoredController(o);
    if (!c) return c.error().WithContext(path + ": controller " + std::to_string(n + 1));
    out.controllers.push_back(std::move(c).value());
  }
  return out;
}

// --- kvplant inventory -----------------------------------------------------------

namespace {

constexpr const char* kInventoryHelp =
    "Usage: kvplant inventory [-o FILE.json] [--csv FILE.csv] [--ansible] [--list] [--host NAME]\n"
    "                         [-i IFACE]... [-a ADDRESS]... [-t DURATION] [-4|-6] [-p PORT] [--from FILE.json]\n"
    "\n"
    "Finds every controller (identification group and IPv4 broadcast on every interface that is up, or\n"
    "on each IFACE; and each ADDRESS), waits DURATION (default 4s), asks each found controller its status\n"
    "and writes the inventory: JSON to FILE.json (standard output when neither -o, --csv nor --ansible is\n"
    "given), CSV to FILE.csv, an Ansible dynamic inventory to standard output.\n"
    "\n"
    "  -o, --output FILE.json  write the inventory (JSON) to FILE.json\n"
    "      --csv FILE.csv      write it as CSV to FILE.csv\n"
    "      --ansible           print an Ansible dynamic inventory on standard output\n"
    "      --list              the same (Ansible calls an inventory script with it)\n"
    "      --host NAME         print {} (every host's variables are in --list's _meta)\n"
    "  -i, --interface IFACE   ask on IFACE only (repeatable)\n"
    "  -a, --address ADDRESS   also ask this controller directly (repeatable)\n"
    "  -t, --timeout DURATION  how long discovery waits (seconds, or with the unit ms or s)\n"
    "  -4, --ipv4              IPv4 broadcast only\n"
    "  -6, --ipv6              IPv6 multicast only\n"
    "  -p, --port PORT         the controllers' port (default 20034)\n"
    "      --from FILE.json    read a stored inventory instead of discovering\n"
    "  -h, --help              show this help\n"
    "\n"
    "Exit status: 0 controllers found, 1 none answered, 2 usage error or unreadable input.\n";

enum : int { kCsv = 256, kAnsible, kList, kHost, kFrom };

}  // namespace

kv::Result<Inventory> DiscoverPlant(kvid::DiscoverRequest request,
                                    const std::function<void(const std::string&)>& note) {
  if (request.interfaces.empty()) UpInterfaces(request);
  if (request.port == 0) request.port = kIdPort;
  Inventory inventory;
  inventory.taken = UtcNow();
  const auto found = kvid::Discover(request, {}, note);
  if (!found) return found.error();
  for (const kvid::Discovered& d : found.value().controllers) inventory.controllers.push_back(FromDiscovered(d));
  for (const std::string& n : AddStatus(inventory.controllers, request.port)) note(n);
  SortByMac(inventory.controllers);
  return inventory;
}

int CmdInventory(int argc, char** argv) {
  static const option kLong[] = {
      {"output", required_argument, nullptr, 'o'},  {"csv", required_argument, nullptr, kCsv},
      {"ansible", no_argument, nullptr, kAnsible},  {"list", no_argument, nullptr, kList},
      {"host", required_argument, nullptr, kHost},  {"interface", required_argument, nullptr, 'i'},
      {"address", required_argument, nullptr, 'a'}, {"timeout", required_argument, nullptr, 't'},
      {"ipv4", no_argument, nullptr, '4'},          {"ipv6", no_argument, nullptr, '6'},
      {"port", required_argument, nullptr, 'p'},    {"from", required_argument, nullptr, kFrom},
      {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
  constexpr const char* kCommand = "inventory";
  std::string output, csv, from;
  bool ansible = false, host = false;
  std::vector<std::string> interfaces, addresses;
  int family = AF_UNSPEC, port = kIdPort;
  long long timeoutMs = kDiscoverWaitMs;
  ::optind = 0;
  ::opterr = 0;
  for (int c; (c = ::getopt_long(argc, argv, ":o:i:a:t:46p:h", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'o': output = optarg; break;
      case kCsv: csv = optarg; break;
      case kAnsible:
      case kList: ansible = true; break;
      case kHost: host = true; break;
      case 'i': interfaces.emplace_back(optarg); break;
      case 'a': addresses.emplace_back(optarg); break;
      case 't': {
        const auto ms = kvid::ParseDuration(optarg, 1000, 1);
        if (!ms) return Usage(std::string("invalid duration '") + optarg + "' for --timeout", kCommand);
        timeoutMs = *ms;
        break;
      }
      case '4': family = AF_INET; break;
      case '6': family = AF_INET6; break;
      case 'p': {
        const auto p = kvid::ParseDuration(optarg, 1, 1);
        if (!p || *p > 65535 || std::string_view(optarg).find_first_not_of("0123456789") != std::string_view::npos)
          return Usage(std::string("invalid port '") + optarg + "': give a number from 1 to 65535", kCommand);
        port = static_cast<int>(*p);
        break;
      }
      case kFrom: from = optarg; break;
      case 'h': std::fputs(kInventoryHelp, stdout); return kExitOk;
      default: return Usage(Refused(c, argc, argv), kCommand);
    }
  }
  if (optind < argc) return Usage(std::string("unexpected argument '") + argv[optind] + "'", kCommand);
  if (host) {
    // Every host's variables are in --list's _meta: Ansible never asks.
    std::fputs("{}\n", stdout);
    return kExitOk;
  }
  if (!from.empty() && (!interfaces.empty() || !addresses.empty()))
    return Usage("--from reads a stored inventory; it does not discover (-i, -a)", kCommand);

  Inventory inventory;
  if (!from.empty()) {
    auto loaded = LoadInventory(from);
    if (!loaded) {
      std::fprintf(stderr, "kvplant: %s\n", Printed(loaded.error().message()).c_str());
      return kExitUsage;
    }
    inventory = std::move(loaded).value();
  } else {
    kvid::DiscoverRequest request;
    for (const std::string& name : interfaces) {
      const unsigned index = ::if_nametoindex(name.c_str());
      if (index == 0) return Usage("unknown interface '" + Printed(name) + "'", kCommand);
      request.interfaces.push_back(index);
      request.interfaceNames.push_back(name);
    }
    request.addresses = addresses;
    request.family = family;
    request.timeoutMs = static_cast<int>(timeoutMs);
    request.port = port;
    auto found = DiscoverPlant(
        request, [](const std::string& note) { std::fprintf(stderr, "kvplant: %s\n", Printed(note).c_str()); });
    if (!found) {
      std::fprintf(stderr, "kvplant: %s\n", Printed(found.error().message()).c_str());
      return kExitUsage;
    }
    inventory = std::move(found).value();
  }
  SortByMac(inventory.controllers);

  if (!output.empty()) {
    if (auto written = WriteFile(output, InventoryJson(inventory)); !written) {
      std::fprintf(stderr, "kvplant: %s\n", Printed(written.error().message()).c_str());
      return kExitUsage;
    }
  }
  if (!csv.empty()) {
    if (auto written = WriteFile(csv, InventoryCsv(inventory)); !written) {
      std::fprintf(stderr, "kvplant: %s\n", Printed(written.error().message()).c_str());
      return kExitUsage;
    }
  }
  if (ansible) std::fputs(AnsibleInventory(inventory).c_str(), stdout);
  if (output.empty() && csv.empty() && !ansible) std::fputs(InventoryJson(inventory).c_str(), stdout);
  std::fflush(stdout);
  if (inventory.controllers.empty() && from.empty()) {
    std::fprintf(stderr, "kvplant: no controller answered within %lld ms\n", timeoutMs);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace kvplant
