// kvplant: a technician's plant tool. Takes the inventory of a plant's
// controllers, says before anything is sent what each controller would do
// with a release, and rolls a release out in waves over SFTP, following each
// controller through its installation (and the restart of an image update)
// over the identification protocol.
//
// The model and the steps shared by the commands live here; inventory.cpp
// and preflight.cpp discover and judge, rollout.cpp and sftp.cpp send and
// follow, main.cpp is the command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"

struct cJSON;

namespace kvid {
struct DiscoverRequest;
}  // namespace kvid

namespace kvplant {

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a controller failed, a rollout stopped
inline constexpr int kExitUsage = 2;   // usage, unreadable input, an error before anything was done
inline constexpr int kExitNotChecked = 3;

// One controller's interface as the identification protocol shows it. A
// controller is known by the MAC address of the interface that answered;
// its addresses are those that answered for that interface (IPv6 first).
struct Controller {
  std::string mac;
  std::vector<std::string> addresses;  // the first is the one the tool uses
  std::string interfaceName;
  std::string platform;      // the document's "device" (platform identifier)
  std::string deviceName;    // "device_name"
  std::string swRevision;    // "sw_revision": the application's revision
  std::string imageVersion;  // "image_version": the OS image's revision
  std::string daemon;        // the status document's server name and revision ("" when unknown)
  bool appRunning = false;
  bool updating = false;  // the status says an update is under way
  std::string action;     // the status document's action text
};

struct Inventory {
  std::string taken;  // UTC time of the discovery, ISO 8601
  std::vector<Controller> controllers;
};

// Inventory files: JSON (the tool's own format, read back by every command)
// and CSV (for people and spreadsheets; written only).
kv::Result<Inventory> LoadInventory(const std::string& path);
std::string InventoryJson(const Inventory& inventory);
// One controller as an inventory file holds it (a new cJSON object; the
// caller owns it).
cJSON* ControllerJson(const Controller& c);

// Lower-case hex of n bytes.
std::string Hex(const unsigned char* p, std::size_t n);
// The size and lower-case hex SHA-256 of a regular file (never following a
// link, never waiting on a FIFO's writer): the one hashing of a release's
// files, for the plan, the state and the audit trail alike.
kv::Result<std::pair<std::uint64_t, std::string>> HashFile(const std::string& path);
std::string InventoryCsv(const Inventory& inventory);
// One CSV cell (RFC 4180), shown as text and guarded against spreadsheets.
std::string CsvCell(const std::string& text);

// What changed between two inventories, as kvplant diff reports it: the
// lines of text (the count line last), the JSON document, and the counts.
struct InventoryDiff {
  std::string text, json;
  int gone = 0, added = 0, moved = 0, unchanged = 0;
};
InventoryDiff DiffInventories(const Inventory& old, const Inventory& now);

// One discovery of the plant (every interface that is up unless the
// request names some), each controller's status asked, sorted by MAC;
// notes (malformed answers, silent controllers) go to note.
kv::Result<Inventory> DiscoverPlant(kvid::DiscoverRequest request, const std::function<void(const std::string&)>& note);

// --- release and pre-flight (preflight.cpp) ---------------------------------

// One file of a release as given on the command line, with the signature the
// device looks for beside it (NAME.sign64, when the technician has one).
struct ReleaseFile {
  std::string path;       // as given
  std::string name;       // the name it gets in the watch folder
  std::string signature;  // path of NAME.sign64 beside it; "" when there is none
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex of the file's bytes
};

// The application's revision in a controller's sw_revision ("Rev: 2.4.1" or
// "2.4.1" give "2.4.1").
std::string AppRevision(const std::string& swRevision);

// Whether a controller's sw_revision reports the application revision
// expected (either written with or without "Rev: ").
bool ReportsApp(const std::string& swRevision, const std::string& expected);

// Opens and hashes the files (regular files only, never waiting on a FIFO).
kv::Result<std::vector<ReleaseFile>> LoadRelease(const std::vector<std::string>& paths);

// What a controller would do with a release.
enum class Take {
  kTakes,        // takes files: every check the device makes passes
  kAlreadyRuns,  // runs what the release brings; nothing to send
  kNothing,      // takes nothing (another platform, nothing for it)
  kRejected,     // would refuse a file it takes
  kNotChecked,   // a check could not be made (no public key given)
};

struct Plan {
  std::size_t controller = 0;      // index into the inventory
  Take take = Take::kNothing;      //
  std::vector<std::size_t> files;  // release files to send, in sending order
  std::string what;                // in words: "application 2.5, OS image kv-image-4.3"
  std::string reason;              // rejected, not checked, nothing: why
  std::string expectApp;           // application revision the controller reports once done, as
                                   // AppRevision of its sw_revision gives it ("" when unchanged)
  std::string expectImage;         // image_version it reports once done ("" when unchanged, or when
                                   // an image of unknown revision goes: then one other than before)
};

// Replays the daemon's checks (as kvpack inspect does) for each controller of
// the inventory: one plan per controller, in inventory order. Controllers of
// the same platform and revisions share one replay.
std::vector<Plan> PlanRelease(const std::vector<ReleaseFile>& release, const Inventory& inventory,
                              const std::string& publicKey);

// --- commands (each returns its exit status) --------------------------------
int CmdInventory(int argc, char** argv);  // inventory.cpp
int CmdDiff(int argc, char** argv);       // inventory.cpp
int CmdPreflight(int argc, char** argv);  // preflight.cpp
int CmdRollout(int argc, char** argv);    // rollout.cpp
int CmdResume(int argc, char** argv);     // rollout.cpp
int CmdSend(int argc, char** argv);       // rollout.cpp
int CmdWait(int argc, char** argv);       // rollout.cpp
int CmdServe(int argc, char** argv);      // serve.cpp

}  // namespace kvplant
