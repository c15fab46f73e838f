// Inspection of a bundle: the daemon's own unpacking and member selection run
// in the throwaway sandbox that Inspect prepared, pass after pass. Each
// member that reaches the watch folder is checked there as the device checks
// a drop, its signature taken from the bundle; each item the device drops is
// told with the device's reason. The report grows with the manifest: one
// line per item.
#include <cJSON.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/paths.h"
#include "intake/bundle.h"
#include "intake/scandir.h"
#include "kvpack/inspect_sandbox.h"
#include "kvpack/kvpack.h"

namespace kvpack::inspect {

namespace {

using kv::Json;

// The most tar entries unpacked here: a manifest of the most items the
// device takes, each with its member and signature, and a few more. A
// payload beyond it installs no more than one within it, and would only
// cost the inspecting host its files.
constexpr std::size_t kMaxPayloadEntries = 2 * static_cast<std::size_t>(kManifestMaxItems) + 8;

// The manifest keys the device reads (without regard to case).
constexpr const char* kManifestKeys[] = {"packageName", "swRev", "platformName", "fileType", "fileName"};

std::set<std::string> FolderNames(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// One manifest item as the daemon sees it.
struct Item {
  std::string text;  // compact JSON, to follow the item from pass to pass
  std::string packageName, swRev, platformName, fileName, fileType;
  bool hasSwRev = false;
  bool hasPlatform = false;
  std::vector<std::string> unknownKeys;
};

std::string Field(const cJSON* item, const char* key, bool* present = nullptr) {
  const cJSON* v = cJSON_GetObjectItem(item, key);  // without regard to case, as the daemon
  const bool ok = cJSON_IsString(v) && v->valuestring != nullptr;
  if (present != nullptr) *present = ok;
  return ok ? v->valuestring : "";
}

// The manifest in the bundle folder; present is false when there is none.
std::vector<Item> ReadManifest(bool* present) {
  std::vector<Item> items;
  const std::string path = std::string(paths_BundleFolder()) + "allinfo.json";
  auto in = OpenInput(path);
  *present = in.ok() && S_ISREG(in.value().st.st_mode);
  if (!*present || in.value().st.st_size > kManifestMaxBytes) return items;
  std::string text(static_cast<std::size_t>(in.value().st.st_size), '\0');
  const ssize_t got = ::pread(in.value().fd.get(), text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  Json root(cJSON_Parse(text.c_str()));
  if (!cJSON_IsArray(root.get())) return items;
  for (const cJSON* e = root->child; e != nullptr; e = e->next) {
    Item item;
    kv::CMemory<char> compact(cJSON_PrintUnformatted(e));
    item.text = compact ? compact.get() : "";
    item.packageName = Field(e, "packageName");
    item.swRev = Field(e, "swRev", &item.hasSwRev);
    item.platformName = Field(e, "platformName", &item.hasPlatform);
    item.fileName = Field(e, "fileName");
    item.fileType = Field(e, "fileType");
    for (const cJSON* k = cJSON_IsObject(e) ? e->child : nullptr; k != nullptr; k = k->next) {
      const bool known = std::any_of(std::begin(kManifestKeys), std::end(kManifestKeys),
                                     [k](const char* name) { return ::strcasecmp(k->string, name) == 0; });
      if (!known) item.unknownKeys.emplace_back(k->string);
    }
    items.push_back(std::move(item));
  }
  return items;
}

// The items of before that are gone from after (after keeps the order of the
// items it still holds, since the daemon only removes).
std::vector<Item> Dropped(const std::vector<Item>& before, const std::vector<Item>& after) {
  std::vector<Item> dropped;
  std::size_t j = 0;
  for (const Item& item : before) {
    if (j < after.size() && after[j].text == item.text) {
      ++j;
    } else {
      dropped.push_back(item);
    }
  }
  return dropped;
}

std::string Quoted(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& k : keys) text += (text.empty() ? "\"" : ", \"") + k + "\"";
  return text;
}

// Why a platformName names neither "all" nor the device's platform.
std::string WhyNoPlatform(const Item& item, const std::string& platform) {
  if (!item.hasPlatform) {
    std::string why = "it has no platformName, so no device takes it";
    if (!item.unknownKeys.empty()) why += " (the device does not read " + Quoted(item.unknownKeys) + ")";
    return why;
  }
  for (const char* id : kPlatformIds) {
    if (item.platformName.find(id) != std::string::npos) {
      return "platformName \"" + item.platformName + "\" spells the platform as a container header does (" + id +
             "); manifests write it as " + PlatformName(id) + ", and no device takes the item";
    }
  }
  return "platformName \"" + item.platformName + "\" names neither all nor " + platform;
}

// Why the daemon let go of an item without moving its file, in the words of
// this tool; the decision itself was the daemon's.
std::string WhyDropped(const Item& item, const std::set<std::string>& bundleBefore, const std::string& platform,
                       const char* running) {
  if (bundle_IsPlainFileName(item.fileName.c_str()) == 0) {
    return item.fileName.empty() ? "it has no fileName" : "its fileName is not a plain file name";
  }
  if (item.packageName == "image" && running != nullptr && item.hasSwRev && item.swRev == running) {
    return std::string("same revision as the running image (") + running + "); its file is deleted";
  }
  if (item.packageName == "image" && running != nullptr && item.hasSwRev &&
      bundle_ImageRefusedAsOlder(item.swRev.c_str(), running) == 1) {
    return std::string("revision older than the running image (") + running + "); its file is deleted";
  }
  if (bundleBefore.count(item.fileName) == 0) return "its file " + item.fileName + " is not in the bundle";
  if (item.platformName.find("all") == std::string::npos && item.platformName.find(platform) == std::string::npos) {
    return WhyNoPlatform(item, platform) + "; its file is deleted";
  }
  char refused = 0;
  if (cmd_IsAllowedLine(item.fileName, &refused) == 0) {
    return "its fileName holds a character the device's command lines cannot carry; its file is deleted";
  }
  if (bundle_IsInstallerName(item.fileName.c_str()) == 0) {
    return "it is neither a container nor a package (its extension is not CRY or IPK); its file is deleted";
  }
  return "its file was not moved";
}

std::string Role(int result, const Item& item, const std::string& platform) {
  switch (result) {
    case 1: return "application container";
    case 2: return item.packageName == "kvupdaterd" ? "the device's own package" : "application package";
    case 3: return "OS image";
    default:
      if (item.packageName == "image") {
        return "other member, not as the OS image (the image step takes only an item whose platformName names " +
               platform + "; \"all\" does not count for images)";
      }
      return "other member";
  }
}

// Walks the tar headers of the payload without unpacking anything: the
// number of entries, or more than cap when there are more.
std::size_t CountEntries(int fd, std::uint64_t offset, std::uint64_t size, std::size_t cap) {
  std::size_t count = 0;
  std::uint64_t at = offset;
  unsigned char block[512];
  while (at + 512 <= size && count <= cap) {
    if (::pread(fd, block, sizeof block, static_cast<off_t>(at)) != 512) break;
    if (std::all_of(std::begin(block), std::end(block), [](unsigned char c) { return c == 0; })) break;
    std::uint64_t length = 0;
    for (int i = 124; i < 136 && block[i] >= '0' && block[i] <= '7'; ++i) length = length * 8 + (block[i] - '0');
    ++count;
    at += 512 + (length + 511) / 512 * 512;
  }
  return count;
}

// The compression a payload starts with, or null for none.
const char* Compression(int fd, std::uint64_t offset) {
  unsigned char m[6] = {};
  if (::pread(fd, m, sizeof m, static_cast<off_t>(offset)) < 4) return nullptr;
  if (m[0] == 0x1f && m[1] == 0x8b) return "gzip";
  if (m[0] == 'B' && m[1] == 'Z' && m[2] == 'h') return "bzip2";
  if (m[0] == 0xfd && std::memcmp(m + 1, "7zXZ", 4) == 0) return "xz";
  if (m[0] == 0x28 && m[1] == 0xb5 && m[2] == 0x2f && m[3] == 0xfd) return "zstd";
  return nullptr;
}

}  // namespace

kv::Status InspectBundle(const InspectOptions& options, const std::string& name, const Input& in,
                         InspectReport& report) {
  const std::string platform = config_GetPlatformName();
  auto fact = [&report](std::string topic, std::string text) {
    report.facts.push_back({std::move(topic), std::move(text)});
  };
  auto reject = [&report](std::string why) {
    report.verdict = InspectVerdict::kRejected;
    report.reason = std::move(why);
    return kv::Ok();
  };
  fact("running image revision", options.haveImageRev ? options.imageRev : "unknown (no --image-rev)");

  // The device moves the bundle with a command line that must admit its name.
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0) {
    return reject("the device's command lines cannot carry the character '" + std::string(1, refused) +
                  "' of its name: it cannot unpack it");
  }
  char head[1000];
  const ssize_t got = ::pread(in.fd.get(), head, sizeof head, 0);
  const int offset = bundle_HeaderLengthFromText(head, got > 0 ? static_cast<std::size_t>(got) : 0);
  const auto size = static_cast<std::uint64_t>(in.st.st_size);
  fact("header", offset == 0 ? std::string("no HEADERLENGTH: the device reads the whole file as the payload")
                             : "payload at byte " + std::to_string(offset));
  const std::uint64_t at = offset > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), size) : 0;
  if (const char* compression = Compression(in.fd.get(), at)) {
    return reject(std::string("its payload is compressed (") + compression +
                  "): the device reads only a plain tar there and deletes the bundle unread");
  }
  if (const std::size_t entries = CountEntries(in.fd.get(), at, size, kMaxPayloadEntries);
      entries > kMaxPayloadEntries) {
    report.verdict = InspectVerdict::kNotChecked;
    report.reason = "its payload holds more than " + std::to_string(kMaxPayloadEntries) +
                    " entries, more than a bundle of the most items the device takes; not unpacked here";
    return kv::Ok();
  }

  // A copy, never a link: the daemon moves the bundle and changes its owner.
  const std::string watch = paths_WatchFolder();
  const std::string bundle = paths_BundleFolder();
  if (auto copied = CopyInto(in, watch + name, size); !copied) return copied;
  int unpacked = 0;
  {
    QuietStreams quiet;
    unpacked = bundle_UnPack(watch.c_str(), name.c_str(), paths_WorkFolder());
  }
  if (unpacked != 1) {
    return reject(
        "the device cannot unpack it (its payload is no plain tar archive, is cut short, claims more bytes than it "
        "holds, or holds a device node or FIFO) and deletes it");
  }
  bool present = false;
  std::vector<Item> items = ReadManifest(&present);
  if (!present) return reject("it holds no allinfo.json: the device takes no member from it");
  fact("manifest", std::to_string(items.size()) + " items");

  // One pass per call, as the polling loop makes them while its watch folder
  // holds nothing to install. A pass that moves nothing ends the road only
  // when the manifest did not change: after an item was dropped, the next
  // pass goes on.
  const std::size_t limit = items.size() + 3;
  std::size_t taken = 0;
  const InspectMember* firstRefused = nullptr;
  const InspectMember* firstUnchecked = nullptr;
  report.members.reserve(items.size());
  for (std::size_t step = 1; step <= limit; ++step) {
    const std::set<std::string> watchBefore = FolderNames(watch);
    const std::set<std::string> bundleBefore = FolderNames(bundle);
    int result = 0;
    {
      QuietStreams quiet;
      result = scandir_CheckAndPrepInstaller(bundle.c_str(), watch.c_str());
    }
    if (result == kBundleCleanup) break;
    const char* running = config_GetImageRev();
    bool still = false;
    const std::vector<Item> after = ReadManifest(&still);
    const std::vector<Item> dropped = Dropped(items, after);
    std::vector<std::string> arrived;
    for (const std::string& n : FolderNames(watch)) {
      if (watchBefore.count(n) == 0) arrived.push_back(n);
    }
    // The member that moved is the dropped item whose file arrived in the
    // watch folder; the image arrives under the fixed name.
    const Item* moved = nullptr;
    for (const Item& item : dropped) {
      const bool image = result == 3 && item.packageName == "image" &&
                         std::find(arrived.begin(), arrived.end(), "IMAGE.CRY") != arrived.end();
      if (image || std::find(arrived.begin(), arrived.end(), item.fileName) != arrived.end()) {
        moved = &item;
        break;
      }
    }
    for (const Item& item : dropped) {
      InspectMember member;
      member.fileName = item.fileName;
      member.packageName = item.packageName;
      member.swRev = item.swRev;
      if (&item != moved) {
        member.reason = WhyDropped(item, bundleBefore, platform, running);
        report.members.push_back(std::move(member));
        continue;
      }
      member.taken = true;
      member.role = Role(result, item, platform);
      const std::string drop = result == 3 ? std::string("IMAGE.CRY") : item.fileName;
      std::vector<InspectFact> ignored;
      const Outcome outcome = CheckDrop(options, drop, ignored, true);
      member.verdict = outcome.verdict;
      member.reason = outcome.reason;
      report.members.push_back(std::move(member));
      ++taken;
    }
    // Whatever else a pass brought is taken away, as the device's next pass
    // would take it.
    for (const std::string& n : arrived) (void)std::remove((watch + n).c_str());
    if (result == 0 && dropped.empty()) break;
    if (!still) break;
    items = after;
  }
  for (const InspectMember& m : report.members) {
    if (!m.taken) continue;
    if (m.verdict == InspectVerdict::kRejected && firstRefused == nullptr) firstRefused = &m;
    if (m.verdict == InspectVerdict::kNotChecked && firstUnchecked == nullptr) firstUnchecked = &m;
  }
  if (taken == 0) return reject("it installs nothing on " + platform + ": the device takes none of its items");
  if (firstRefused != nullptr) return reject("member " + firstRefused->fileName + ": " + firstRefused->reason);
  if (firstUnchecked != nullptr) {
    report.verdict = InspectVerdict::kNotChecked;
    report.reason = "member " + firstUnchecked->fileName + ": " + firstUnchecked->reason;
    return kv::Ok();
  }
  report.verdict = InspectVerdict::kAccepted;
  report.reason.clear();
  return kv::Ok();
}

}  // namespace kvpack::inspect
