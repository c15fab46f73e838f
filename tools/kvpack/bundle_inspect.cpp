// Inspection of a bundle: the daemon's own unpacking and member selection run
// in the throwaway sandbox that Inspect prepared, pass after pass, and every
// pass is told in one line. The tool only watches what the daemon's functions
// do to the sandbox's folders and manifest, so its answer is the daemon's.
#include <cJSON.h>
#include <fcntl.h>
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
#include "kvpack/kvpack.h"

namespace kvpack {

namespace {

using kv::Json;

// The daemon's commands (tar lists what it extracts, chown complains when we
// are not root) write to the standard streams; while one of its functions
// runs, they go to /dev/null so that the report stays readable.
class QuietStreams {
 public:
  QuietStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    kv::Fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null) return;
    out_ = kv::Fd(::fcntl(1, F_DUPFD_CLOEXEC, 3));
    err_ = kv::Fd(::fcntl(2, F_DUPFD_CLOEXEC, 3));
    if (out_) (void)::dup2(null.get(), 1);
    if (err_) (void)::dup2(null.get(), 2);
  }
  ~QuietStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (out_) (void)::dup2(out_.get(), 1);
    if (err_) (void)::dup2(err_.get(), 2);
  }
  QuietStreams(const QuietStreams&) = delete;
  QuietStreams& operator=(const QuietStreams&) = delete;

 private:
  kv::Fd out_;
  kv::Fd err_;
};

std::set<std::string> FolderNames(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& s : items) text += (text.empty() ? "" : ", ") + s;
  return text.empty() ? "none" : text;
}

// One manifest item as the daemon sees it.
struct Item {
  std::string text;  // compact JSON, to follow the item from pass to pass
  std::string packageName, swRev, platformName, fileName, fileType;
  bool hasSwRev = false;
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
  const auto text = ReadWholeFile(std::string(paths_BundleFolder()) + "allinfo.json");
  *present = text.ok();
  if (!*present) return items;
  Json root(cJSON_Parse(text.value().c_str()));
  if (!cJSON_IsArray(root.get())) return items;
  for (const cJSON* e = root->child; e != nullptr; e = e->next) {
    Item item;
    kv::CMemory<char> compact(cJSON_PrintUnformatted(e));
    item.text = compact ? compact.get() : "";
    item.packageName = Field(e, "packageName");
    item.swRev = Field(e, "swRev", &item.hasSwRev);
    item.platformName = Field(e, "platformName");
    item.fileName = Field(e, "fileName");
    item.fileType = Field(e, "fileType");
    items.push_back(std::move(item));
  }
  return items;
}

std::string Label(const Item& item) {
  std::string label = item.fileName.empty() ? std::string("(no fileName)") : item.fileName;
  if (!item.packageName.empty()) label += " [" + item.packageName + "]";
  return label;
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

const char* Meaning(int result) {
  switch (result) {
    case 0: return "nothing moved";
    case 1: return "application container";
    case 2: return "own package or application ipk";
    case 3: return "OS image";
    case 4: return "other member";
    case kBundleCleanup: return "CLEANUP";
    default: return "unknown result";
  }
}

// Why the daemon let go of an item without moving its file, in the words of
// this tool; the decision itself was the daemon's.
std::string WhyDropped(const Item& item, const std::set<std::string>& bundleBefore, const char* platform,
                       const char* running) {
  if (bundle_IsPlainFileName(item.fileName.c_str()) == 0) return "its fileName is not a plain file name";
  if (item.packageName == "image" && running != nullptr && item.hasSwRev && item.swRev == running) {
    return std::string("same revision as the running image (") + running + "); its file is deleted";
  }
  if (item.packageName == "image" && running != nullptr && item.hasSwRev &&
      bundle_ImageRefusedAsOlder(item.swRev.c_str(), running) == 1) {
    return std::string("revision older than the running image (") + running + "); its file is deleted";
  }
  if (bundleBefore.count(item.fileName) == 0) return "its file " + item.fileName + " is not in the bundle";
  if (item.platformName.find("all") == std::string::npos && item.platformName.find(platform) == std::string::npos) {
    return "platformName \"" + item.platformName + "\" names neither all nor " + platform + "; its file is deleted";
  }
  if (bundle_IsInstallerName(item.fileName.c_str()) == 0) {
    return "it is neither a container nor a package (its extension is not CRY or IPK), which nothing would take "
           "from the watch folder; its file is deleted";
  }
  return "its file was not moved (the device refuses its name in commands)";
}

}  // namespace

kv::Status InspectBundle(const InspectOptions& options, const std::string& file, std::FILE* report) {
  const std::string name = BaseName(file);
  const char* platform = config_GetPlatformName();
  std::fprintf(report, "kvpack: bundle %s, for platform %s (%s), running image revision %s\n", name.c_str(), platform,
               config_GetPlatformId(), options.haveImageRev ? options.imageRev.c_str() : "unknown");

  // The device's description file, with the running revision or without any.
  for (const char* dir : {"/opt/kv2/log"}) {
    if (::mkdir(paths_Device(dir).c_str(), 0755) != 0 && errno != EEXIST) {
      return kv::Error(errno, "cannot prepare " + paths_Device(dir));
    }
  }
  {
    kv::File info = kv::OpenFile(paths_Device(devpath::kImageInfo).c_str(), "w");
    if (!info) return kv::Error(errno, "cannot prepare " + paths_Device(devpath::kImageInfo));
    std::fprintf(info.get(), "image_name=kvpack-inspect\n");
    if (options.haveImageRev) std::fprintf(info.get(), "image_version=%s\n", options.imageRev.c_str());
  }

  // The device moves the bundle with a command line that must admit its name.
  char refused = 0;
  if (cmd_IsAllowedLine(name, &refused) == 0) {
    std::fprintf(report, "  the device's command runner refuses the character '%c' in the name: it cannot unpack it\n",
                 refused);
    return kv::Ok();
  }

  // A copy, never a link: the daemon moves the bundle and changes its owner.
  const std::string watch = paths_WatchFolder();
  const std::string bundle = paths_BundleFolder();
  std::error_code ec;
  if (!std::filesystem::copy_file(file, watch + name, ec)) {
    return kv::Error(ec.value(), "cannot copy " + file + " into the sandbox: " + ec.message());
  }
  const int offset = bundle_GetHeaderLength(watch.c_str(), name.c_str());
  std::fprintf(report, "  header length: %d%s\n", offset,
               offset == 0 ? " (none found: the daemon reads the whole file, header included, as the payload, which is "
                             "then no tar archive)"
                           : "");
  int unpacked = 0;
  {
    QuietStreams quiet;
    unpacked = bundle_UnPack(watch.c_str(), name.c_str(), paths_WorkFolder());
  }
  if (unpacked != 1) {
    std::fprintf(report, "  the daemon could not unpack the bundle; it deletes it\n");
    return kv::Ok();
  }
  std::set<std::string> files = FolderNames(bundle);
  std::fprintf(report, "  unpacked: %s\n", Join({files.begin(), files.end()}).c_str());
  bool present = false;
  std::vector<Item> items = ReadManifest(&present);
  if (!present) {
    std::fprintf(report, "  no allinfo.json: the daemon takes no member from this bundle\n");
    return kv::Ok();
  }
  std::vector<std::string> labels;
  for (const Item& item : items) labels.push_back(Label(item));
  std::fprintf(report, "  manifest: %s\n", Join(labels).c_str());

  // One pass per call, as the polling loop makes them while its watch folder
  // holds nothing to install. A result of 0 ends the road only when the
  // manifest did not change: after an item was dropped, the next pass goes on.
  const std::size_t limit = items.size() + 3;
  for (std::size_t step = 1; step <= limit; ++step) {
    const std::set<std::string> watchBefore = FolderNames(watch);
    const std::set<std::string> bundleBefore = FolderNames(bundle);
    int result = 0;
    {
      QuietStreams quiet;
      result = scandir_CheckAndPrepInstaller(bundle.c_str(), watch.c_str());
    }
    const char* running = config_GetImageRev();
    bool still = false;
    const std::vector<Item> after = ReadManifest(&still);
    const std::vector<Item> dropped = Dropped(items, after);
    const std::set<std::string> watchAfter = FolderNames(watch);
    std::vector<std::string> arrived;
    for (const std::string& n : watchAfter) {
      if (watchBefore.count(n) == 0) arrived.push_back(n);
    }

    std::string line =
        "step " + std::to_string(step) + ": result " + std::to_string(result) + " (" + Meaning(result) + ")";
    if (result == kBundleCleanup) {
      std::fprintf(report, "%s: the manifest is used up; the bundle folder is cleared\n", line.c_str());
      return kv::Ok();
    }
    // The member that moved is the dropped item whose file arrived in the
    // watch folder; the image arrives under the fixed name.
    const Item* taken = nullptr;
    for (const Item& item : dropped) {
      const bool image = result == 3 && item.packageName == "image" && watchAfter.count("IMAGE.CRY") != 0;
      if (image || std::find(arrived.begin(), arrived.end(), item.fileName) != arrived.end()) {
        taken = &item;
        break;
      }
    }
    if (taken != nullptr) {
      line += ": " + Label(*taken) + " reaches the watch folder as " + Join(arrived);
      if (result == 3 && bundleBefore.count("IMAGE.sign64") == 0 &&
          ::access((bundle + "IMAGE.sign64").c_str(), F_OK) == 0) {
        line += ", its signature becomes IMAGE.sign64";
      } else if (result == 3) {
        line += ", without a signature for it";
      }
    } else if (dropped.empty()) {
      line += ": no item left to take";
    }
    std::fprintf(report, "%s\n", line.c_str());
    for (const Item& item : dropped) {
      if (&item == taken) continue;
      std::fprintf(report, "  dropped %s: %s\n", Label(item).c_str(),
                   WhyDropped(item, bundleBefore, platform, running).c_str());
    }
    if (!after.empty()) {
      labels.clear();
      for (const Item& item : after) labels.push_back(Label(item));
      std::fprintf(report, "  stay in the manifest: %s\n", Join(labels).c_str());
    }
    // The daemon's next pass installs what arrived before the manifest is
    // looked at again; here it is simply taken away.
    for (const std::string& n : arrived) (void)std::remove((watch + n).c_str());
    if (result == 0 && dropped.empty()) {
      if (!still) std::fprintf(report, "  no manifest left: the bundle is over\n");
      return kv::Ok();
    }
    items = after;
  }
  std::fprintf(report, "  the manifest did not run out after %zu passes\n", limit);
  return kv::Ok();
}

}  // namespace kvpack
