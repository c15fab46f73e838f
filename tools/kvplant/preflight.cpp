// Pre-flight: what each controller of an inventory would do with a release,
// decided by the daemon's own checks (kvpack's inspection, replayed in a
// throwaway sandbox) before anything is sent.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "kvid/kvid.h"
#include "kvpack/kvpack.h"
#include "kvplant/plant.h"
#include "security/cryheader.h"

namespace kvplant {

namespace {

std::string Shown(const std::string& text) { return text.empty() ? "-" : kvid::Shown(text, false); }

bool EndsWithNoCase(const std::string& s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  return true;
}

// The OS image goes under its fixed name: IMAGE.CRY (and IMAGE.sign64).
bool IsImageName(const std::string& name) { return name.rfind("IMAGE", 0) == 0 && EndsWithNoCase(name, ".cry"); }

// --- what a file brings --------------------------------------------------------

// The platform identifiers a container header names, when it names only
// others than the device's: a container made for another platform, which
// the device deletes (nothing for it, not a fault of the release).
bool ForAnotherPlatform(const std::string& path, const std::string& platform) {
  const kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!fd) return false;
  std::array<char, 1000> head{};
  const ssize_t got = ::pread(fd.get(), head.data(), head.size(), 0);
  if (got <= 0) return false;
  const CryHeaderScan scan =
      cry_ScanHeader(cry_HeaderText(head.data(), static_cast<std::size_t>(got)), kvpack::PlatformId(platform));
  bool other = false;
  for (const CryHeaderElement& e : scan.elements) {
    if (e.key != "PLATFORMNAME") continue;
    if (e.counted) return false;
    other = other || kvpack::PlatformImageType(e.value) != 0;
  }
  return other;
}

// The application revision a report's control data names ("package P,
// version V").
std::string ControlVersion(const kvpack::InspectReport& r) {
  for (const kvpack::InspectFact& f : r.facts) {
    constexpr std::string_view kVersion = ", version ";
    const std::size_t at = f.topic == "control" ? f.text.find(kVersion) : std::string::npos;
    if (at != std::string::npos) return f.text.substr(at + kVersion.size());
  }
  return {};
}

// What one file does on one controller.
struct Part {
  Take take = Take::kNothing;
  std::string app, image;  // revisions it brings ("" unknown; image "" with imageAny: an image of unknown revision)
  bool imageAny = false;
  std::string reason;
};

bool IsApplicationRole(const std::string& role) { return role.find("OS image") == std::string::npos; }

Part Judge(const ReleaseFile& file, const kvpack::InspectReport& r, const Controller& c) {
  Part p;
  const std::string runningApp = AppRevision(c.swRevision);
  const auto verdict = [&p, &file](kvpack::InspectVerdict v, const std::string& reason) {
    if (v == kvpack::InspectVerdict::kRejected) {
      p.take = Take::kRejected;
      p.reason = file.name + ": " + reason;
    } else if (v == kvpack::InspectVerdict::kNotChecked) {
      p.take = Take::kNotChecked;
      p.reason = file.name + ": " + reason;
    } else {
      p.take = Take::kTakes;
    }
  };
  if (r.kind == "bundle") {
    bool sameImage = false;
    std::size_t taken = 0;
    for (const kvpack::InspectMember& m : r.members) {
      if (!m.taken) {
        sameImage = sameImage || m.reason.rfind("same revision as the running image", 0) == 0;
        continue;
      }
      ++taken;
      if (IsApplicationRole(m.role)) {
        p.app = m.swRev;
      } else {
        p.image = m.swRev;
        p.imageAny = m.swRev.empty();
      }
    }
    if (taken == 0) {
      p.take = sameImage ? Take::kAlreadyRuns : Take::kNothing;
      p.reason = file.name + ": " + (sameImage ? "the device runs its OS image" : r.reason);
      return p;
    }
    // The device installs what it takes; an application of the revision
    // the controller runs alone brings nothing new.
    if (p.image.empty() && !p.imageAny && !p.app.empty() && p.app == runningApp) {
      p.take = Take::kAlreadyRuns;
      return p;
    }
    verdict(r.verdict, r.reason);
    return p;
  }
  if (r.kind == "OS image") {
    p.imageAny = true;
    verdict(r.verdict, r.reason);
    return p;
  }
  if (r.kind == "ipk package" || r.kind == "CRY container") {
    if (r.kind == "CRY container" && ForAnotherPlatform(file.path, c.platform)) {
      p.reason = file.name + ": made for another platform";
      return p;
    }
    p.app = ControlVersion(r);
    if (p.app.empty() && r.kind == "ipk package") {
      if (auto fields = kvpack::ReadIpk(file.path)) p.app = fields.value().version;
    }
    if (!p.app.empty() && p.app == runningApp) {
      p.take = Take::kAlreadyRuns;
      return p;
    }
    verdict(r.verdict, r.reason);
    return p;
  }
  verdict(r.verdict == kvpack::InspectVerdict::kAccepted ? kvpack::InspectVerdict::kRejected : r.verdict,
          r.reason.empty() ? "the device does not take it" : r.reason);
  return p;
}

// The inspection of one file for one kind of controller: kvpack's inspection
// is not thread-safe and costs a sandbox, so each distinct (file, platform,
// running image revision for a bundle) is inspected once.
class Inspections {
 public:
  Inspections(const std::vector<ReleaseFile>& release, const std::string& publicKey)
      : release_(release), publicKey_(publicKey) {}

  const kv::Result<kvpack::InspectReport>& For(std::size_t file, const Controller& c) {
    const bool bundle = kinds_.count(file) != 0 && kinds_[file] == "bundle";
    const auto key = std::make_tuple(file, kvpack::PlatformId(c.platform), bundle ? c.imageVersion : std::string());
    auto it = done_.find(key);
    if (it != done_.end()) return it->second;
    kvpack::InspectOptions options;
    options.platform = c.platform;
    options.publicKey = publicKey_;
    options.signature = release_[file].signature;
    options.haveImageRev = true;
    options.imageRev = c.imageVersion;
    options.key = kvpack::BuiltInKey();
    auto report = kvpack::Inspect(options, release_[file].path);
    if (report) kinds_[file] = report.value().kind;
    // A bundle's first inspection was made with this controller's image
    // revision; it is stored under the key that names it.
    const auto stored = std::make_tuple(file, std::get<1>(key),
                                        report && report.value().kind == "bundle" ? c.imageVersion : std::string());
    return done_.emplace(stored, std::move(report)).first->second;
  }

 private:
  const std::vector<ReleaseFile>& release_;
  std::string publicKey_;
  std::map<std::size_t, std::string> kinds_;
  std::map<std::tuple<std::size_t, std::string, std::string>, kv::Result<kvpack::InspectReport>> done_;
};

std::string Words(const std::string& app, const std::string& image, bool imageAny, bool sentence) {
  std::vector<std::string> parts;
  if (!app.empty()) parts.push_back("application " + app);
  if (!image.empty()) parts.push_back("OS image " + image);
  if (image.empty() && imageAny) parts.emplace_back("an OS image");
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i)
    out += (i == 0 ? "" : (sentence && i + 1 == parts.size() ? " and " : ", ")) + parts[i];
  return out.empty() ? std::string("it") : out;
}

}  // namespace

std::string AppRevision(const std::string& swRevision) {
  constexpr std::string_view kRev = "Rev: ";
  return swRevision.rfind(kRev, 0) == 0 ? swRevision.substr(kRev.size()) : swRevision;
}

bool ReportsApp(const std::string& swRevision, const std::string& expected) {
  return AppRevision(swRevision) == AppRevision(expected);
}

kv::Result<std::vector<ReleaseFile>> LoadRelease(const std::vector<std::string>& paths) {
  std::vector<ReleaseFile> out;
  std::set<std::string> names;
  for (const std::string& path : paths) {
    if (EndsWithNoCase(path, ".sign64"))
      return kv::Error(0, path + " is a signature: give the file it signs; the signature beside it goes with it");
    auto hashed = HashFile(path);
    if (!hashed) return hashed.error();
    ReleaseFile f;
    f.path = path;
    f.name = kvpack::BaseName(path);
    std::tie(f.size, f.sha256) = std::move(hashed).value();
    if (!names.insert(f.name).second) return kv::Error(0, "two files of the release are named " + f.name);
    const std::string signature = kvpack::DefaultSignaturePath(path);
    struct stat st {};
    if (::lstat(signature.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) return kv::Error(0, signature + " is not a regular file");
      f.signature = signature;
    }
    out.push_back(std::move(f));
  }
  return out;
}

std::vector<Plan> PlanRelease(const std::vector<ReleaseFile>& release, const Inventory& inventory,
                              const std::string& publicKey) {
  Inspections inspections(release, publicKey);
  std::vector<Plan> plans;
  plans.reserve(inventory.controllers.size());
  for (std::size_t i = 0; i < inventory.controllers.size(); ++i) {
    const Controller& c = inventory.controllers[i];
    Plan plan;
    plan.controller = i;
    if (kvpack::PlatformImageType(c.platform) == 0) {
      plan.take = Take::kNothing;
      plan.reason = "unknown platform \"" + c.platform + "\"";
      plans.push_back(std::move(plan));
      continue;
    }
    std::string app, image, rejected, unchecked, nothing;
    bool imageAny = false, already = false;
    for (std::size_t f = 0; f < release.size(); ++f) {
      const auto& report = inspections.For(f, c);
      Part part;
      if (!report) {
        part.take = Take::kNotChecked;
        part.reason = release[f].name + ": " + report.error().message();
      } else {
        part = Judge(release[f], report.value(), c);
      }
      switch (part.take) {
        case Take::kRejected:
          if (rejected.empty()) rejected = part.reason;
          break;
        case Take::kAlreadyRuns: already = true; break;
        case Take::kNothing:
          if (nothing.empty()) nothing = part.reason;
          break;
        case Take::kNotChecked:
        case Take::kTakes:
          if (part.take == Take::kNotChecked && unchecked.empty()) unchecked = part.reason;
          plan.files.push_back(f);
          if (!part.app.empty()) app = part.app;
          if (!part.image.empty()) image = part.image;
          imageAny = imageAny || part.imageAny;
          break;
      }
    }
    // The device's scan takes one file per pass, in alphabetical order; the
    // OS image goes last, since installing it restarts the machine.
    std::sort(plan.files.begin(), plan.files.end(), [&release](std::size_t a, std::size_t b) {
      return std::make_pair(IsImageName(release[a].name), release[a].name) <
             std::make_pair(IsImageName(release[b].name), release[b].name);
    });
    if (!rejected.empty()) {
      plan.take = Take::kRejected;
      plan.reason = rejected;
      plan.files.clear();
    } else if (!plan.files.empty()) {
      plan.take = unchecked.empty() ? Take::kTakes : Take::kNotChecked;
      plan.reason = unchecked;
      plan.what = Words(app, image, imageAny, false);
      plan.expectApp = app;
      plan.expectImage = image;
    } else if (already) {
      plan.take = Take::kAlreadyRuns;
    } else {
      plan.take = Take::kNothing;
      plan.reason = nothing.empty() ? "the release holds nothing for it" : nothing;
    }
    plans.push_back(std::move(plan));
  }
  return plans;
}

// --- kvplant preflight -------------------------------------------------------------

namespace {

constexpr const char* kPreflightHelp =
    "Usage: kvplant preflight --inventory FILE.json [--public-key PEM] [--json] RELEASE-FILE...\n"
    "\n"
    "Says what each controller of the inventory would do with the release, by the device's own checks;\n"
    "nothing is sent. One line per controller:\n"
    "  ADDRESS DEVICE_NAME PLATFORM: takes application 2.5, OS image kv-image-4.3\n"
    "  ADDRESS DEVICE_NAME PLATFORM: already runs it\n"
    "  ADDRESS DEVICE_NAME PLATFORM: takes nothing: REASON\n"
    "  ADDRESS DEVICE_NAME PLATFORM: REJECTED: REASON\n"
    "  ADDRESS DEVICE_NAME PLATFORM: NOT CHECKED: REASON\n"
    "then a summary. A file's signature NAME.sign64 beside it goes with it.\n"
    "\n"
    "      --inventory FILE.json  the plant (kvplant inventory -o FILE.json)\n"
    "      --public-key PEM       the devices' public key: signatures are checked with it\n"
    "      --json                 one JSON object per controller and a summary object, one per line\n"
    "  -h, --help                 show this help\n"
    "\n"
    "Exit status: 0 none rejected and all checked, 1 one is rejected, 2 usage error or unreadable input,\n"
    "3 none rejected but one not checked (no --public-key).\n";

const char* TakeWord(Take t) {
  switch (t) {
    case Take::kTakes: return "takes";
    case Take::kAlreadyRuns: return "already-runs";
    case Take::kNothing: return "nothing";
    case Take::kRejected: return "rejected";
    case Take::kNotChecked: return "not-checked";
  }
  return "nothing";
}

std::string Line(const Controller& c, const Plan& p) {
  std::string out = c.addresses.front() + " " + Shown(c.deviceName) + " " + Shown(c.platform) + ": ";
  switch (p.take) {
    case Take::kTakes: return out + "takes " + p.what;
    case Take::kAlreadyRuns: return out + "already runs it";
    case Take::kNothing: return out + "takes nothing: " + kvid::Shown(p.reason, false);
    case Take::kRejected: return out + "REJECTED: " + kvid::Shown(p.reason, false);
    case Take::kNotChecked: return out + "NOT CHECKED: " + kvid::Shown(p.reason, false);
  }
  return out;
}

int Usage(const std::string& what) {
  std::fprintf(stderr, "kvplant: %s\nTry 'kvplant preflight --help' for more information.\n",
               kvid::Shown(what, false).c_str());
  return kExitUsage;
}

}  // namespace

int CmdPreflight(int argc, char** argv) {
  enum : int { kInventory = 256, kPublicKey, kJson };
  static const option kLong[] = {{"inventory", required_argument, nullptr, kInventory},
                                 {"public-key", required_argument, nullptr, kPublicKey},
                                 {"json", no_argument, nullptr, kJson},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  std::string inventoryPath, publicKey;
  bool json = false;
  ::optind = 0;
  ::opterr = 0;
  for (int c; (c = ::getopt_long(argc, argv, ":h", kLong, nullptr)) != -1;) {
    const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    switch (c) {
      case kInventory: inventoryPath = optarg; break;
      case kPublicKey: publicKey = optarg; break;
      case kJson: json = true; break;
      case 'h': std::fputs(kPreflightHelp, stdout); return kExitOk;
      case ':': return Usage("option '" + word + "' needs a value");
      default: return Usage("unknown option '" + word + "'");
    }
  }
  if (inventoryPath.empty()) return Usage("preflight needs the plant: --inventory FILE.json");
  if (optind >= argc) return Usage("preflight needs the release: RELEASE-FILE...");
  if (!publicKey.empty()) {
    struct stat st {};
    if (::stat(publicKey.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return Usage("public key " + publicKey + " is not a readable file");
  }
  auto inventory = LoadInventory(inventoryPath);
  if (!inventory) {
    std::fprintf(stderr, "kvplant: %s\n", kvid::Shown(inventory.error().message(), false).c_str());
    return kExitUsage;
  }
  auto release = LoadRelease(std::vector<std::string>(argv + optind, argv + argc));
  if (!release) {
    std::fprintf(stderr, "kvplant: %s\n", kvid::Shown(release.error().message(), false).c_str());
    return kExitUsage;
  }
  const std::vector<Plan> plans = PlanRelease(release.value(), inventory.value(), publicKey);

  std::map<std::string, int> takes;  // by what they take, in words
  int already = 0, unknownPlatform = 0, nothing = 0, rejected = 0, unchecked = 0;
  for (const Plan& p : plans) {
    const Controller& c = inventory.value().controllers[p.controller];
    switch (p.take) {
      case Take::kTakes:
        ++takes[Words(p.expectApp, p.expectImage, p.what.find("an OS image") != std::string::npos, true)];
        break;
      case Take::kAlreadyRuns: ++already; break;
      case Take::kNothing: ++(kvpack::PlatformImageType(c.platform) == 0 ? unknownPlatform : nothing); break;
      case Take::kRejected: ++rejected; break;
      case Take::kNotChecked: ++unchecked; break;
    }
    if (!json) {
      std::printf("%s\n", Line(c, p).c_str());
      continue;
    }
    const kv::Json o(cJSON_CreateObject());
    cJSON_AddStringToObject(o.get(), "controller", c.mac.c_str());
    cJSON_AddStringToObject(o.get(), "address", c.addresses.front().c_str());
    cJSON_AddStringToObject(o.get(), "device_name", c.deviceName.c_str());
    cJSON_AddStringToObject(o.get(), "platform", c.platform.c_str());
    cJSON_AddStringToObject(o.get(), "take", TakeWord(p.take));
    if (!p.what.empty()) cJSON_AddStringToObject(o.get(), "what", p.what.c_str());
    if (!p.reason.empty()) cJSON_AddStringToObject(o.get(), "reason", p.reason.c_str());
    cJSON* files = cJSON_AddArrayToObject(o.get(), "files");
    for (const std::size_t f : p.files)
      cJSON_AddItemToArray(files, cJSON_CreateString(release.value()[f].name.c_str()));
    cJSON_AddStringToObject(o.get(), "expect_app", p.expectApp.c_str());
    cJSON_AddStringToObject(o.get(), "expect_image", p.expectImage.c_str());
    kv::CMemory<char> printed(cJSON_PrintUnformatted(o.get()));
    if (printed) std::printf("%s\n", printed.get());
  }
  if (json) {
    const kv::Json o(cJSON_CreateObject());
    cJSON* s = cJSON_AddObjectToObject(o.get(), "summary");
    int taking = 0;
    for (const auto& [what, n] : takes) taking += n;
    cJSON_AddNumberToObject(s, "takes", taking);
    cJSON_AddNumberToObject(s, "already_runs", already);
    cJSON_AddNumberToObject(s, "nothing", nothing + unknownPlatform);
    cJSON_AddNumberToObject(s, "unknown_platform", unknownPlatform);
    cJSON_AddNumberToObject(s, "rejected", rejected);
    cJSON_AddNumberToObject(s, "not_checked", unchecked);
    kv::CMemory<char> printed(cJSON_PrintUnformatted(o.get()));
    if (printed) std::printf("%s\n", printed.get());
  } else {
    std::string summary;
    for (const auto& [what, n] : takes) summary += std::to_string(n) + " take " + what + "; ";
    if (takes.empty()) summary += "0 take it; ";
    summary += std::to_string(already) + " already run it; ";
    if (unknownPlatform > 0) summary += std::to_string(unknownPlatform) + " of unknown platform take nothing; ";
    if (nothing > 0) summary += std::to_string(nothing) + " take nothing; ";
    if (unchecked > 0) summary += std::to_string(unchecked) + " not checked; ";
    summary += std::to_string(rejected) + " rejected";
    std::printf("%s\n", summary.c_str());
  }
  if (rejected > 0) return kExitFailed;
  return unchecked > 0 ? kExitNotChecked : kExitOk;
}

}  // namespace kvplant
