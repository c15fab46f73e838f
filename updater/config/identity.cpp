#include "config/identity.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "config/iniloader.h"
#include "config/linefilter.h"
#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/result.h"
#include "core/safefile.h"

namespace {

// Width of one line read from the image description and of the platform texts.
constexpr std::size_t kImageLineSize = 1999;
constexpr std::size_t kImageRevSize = 1034;
constexpr std::size_t kPlatformTextSize = 200;

struct PlatformEntry {
  std::string_view prefix;
  const char* name;
  const char* id;
};
// Indexed by image type - 1.
constexpr std::array<PlatformEntry, 3> kPlatforms = {{
    {"kv2t", "kv2-touch", "KV2_TOUCH"},
    {"kvretro", "korvel-r", "KORVEL_R"},
    {"kvsr", "korvel-sr", "KV_SR"},
}};

std::mutex gConfigLock;
DeviceIdData gIdData{};
char gPlatformName[kPlatformTextSize] = "";
char gPlatformId[kPlatformTextSize] = "";

void SetIdDefaultsLocked() {
  DeviceIdData& d = gIdData;
  d = DeviceIdData{};
  kv::CopyBounded(d.platformName, "KORVEL_R");
  kv::CopyBounded(d.productName, "korvel ");
  kv::CopyBounded(d.name, "kv");
  kv::CopyBounded(d.swPartNumber, "7182xx.xxx");
  kv::CopyBounded(d.swRevision, "Rev: 0.0.0");
  kv::CopyBounded(d.swRevShort, "0.0.0");
  kv::CopyBounded(d.buildDateNum, "00.00.0000");
  kv::CopyBounded(d.buildDate, "unknowndate");
  kv::CopyBounded(d.swBuildSequenceNumber, "_000");
  d.sftpEnabled = 1;
}

// Reads the value of the last line of "/image_info" that begins with key:
// the last piece of those lines as a buffer of kImageLineSize bytes takes
// them, then the text after its first "=", up to a second "=", without one
// trailing line feed. No value when no line with a value is there; an error
// when the file cannot be opened.
kv::Result<std::optional<std::string>> ReadImageInfo(std::string_view key) {
  const std::string file = paths_Device(devpath::kImageInfo);
  kv::PieceReader reader(kImageLineSize);
  const kv::Status read = kv::FilterLines(
      file.c_str(), [key](std::string_view head, bool complete) { return kv::LineBeginsWith(key, head, complete); },
      [&reader](std::string_view text) { reader.Feed(text); });
  if (!read) return read.error();
  reader.Finish();
  if (!reader.any()) return std::optional<std::string>();

  std::string_view rest = reader.last();
  const std::size_t eq = rest.find('=');
  if (eq == std::string_view::npos) return std::optional<std::string>();  // a line without a value
  rest.remove_prefix(eq + 1);
  const std::size_t second = rest.find('=');
  if (second != std::string_view::npos) rest = rest.substr(0, second);
  if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  return std::optional<std::string>(rest);
}

// The value of key, or none; a file that cannot be opened is logged with the
// asking function's name. Something other than a regular file at the name
// (or one beyond the cap) counts as no file, logged once per change of the
// entry instead of with every call: the identification answers ask for the
// revision with every request.
std::optional<std::string> ImageInfoValue(std::string_view key, const char* asker) {
  kv::Result<std::optional<std::string>> value = ReadImageInfo(key);
  if (!value) {
    if (safefile_IsMissing(value.error())) {
      log_PrintPriority(kPriorityError, 1, "%s, unable to open /image_info file\n", asker);
    } else {
      (void)safefile_LogRefusal(asker, paths_Device(devpath::kImageInfo), value.error());
    }
    return std::nullopt;
  }
  return std::move(value).value();
}

}  // namespace

std::mutex& config_Lock() { return gConfigLock; }

int config_GetImageType() {
  const std::optional<std::string> value = ImageInfoValue("image_machine", "config_GetImageType");
  if (!value) return kImageTypeUnknown;
  for (std::size_t i = 0; i < kPlatforms.size(); ++i) {
    if (value->starts_with(kPlatforms[i].prefix)) return static_cast<int>(i) + 1;
  }
  return kImageTypeUnknown;
}

const char* config_GetImageRev() {
  // One buffer per thread: listener threads and the main thread ask at the
  // same time, and each keeps its own answer until its next call.
  thread_local char revision[kImageRevSize];
  const std::optional<std::string> value = ImageInfoValue("image_version", "config_GetImageRev");
  if (!value) return nullptr;
  kv::CopyBounded(revision, *value);
  return revision;
}

void config_SetPlatform(int imageType) {
  config_SetIdDefaults();
  gPlatformName[0] = '\0';
  gPlatformId[0] = '\0';
  if (imageType >= 1 && imageType <= static_cast<int>(kPlatforms.size())) {
    const PlatformEntry& p = kPlatforms[static_cast<std::size_t>(imageType - 1)];
    kv::CopyBounded(gPlatformName, p.name);
    kv::CopyBounded(gPlatformId, p.id);
  }
}

const char* config_GetPlatformName() { return gPlatformName; }
const char* config_GetPlatformId() { return gPlatformId; }

void config_Init() {
  config_SetPlatform(config_GetImageType());

  const char* watch = paths_WatchFolder();
  struct stat st {};
  if (::stat(watch, &st) != 0 || !S_ISDIR(st.st_mode)) {
    log_PrintPriority(kPriorityDebug, 2, "config_Init, /opt/kv2/swfw folders not found, creating /opt/kv2/swfw \n");
    // The folders above the watch folder are made so that the watch folder's
    // group (the technicians' accounts) can reach it: readable and
    // searchable by all, as /opt is on any system; only a folder made here
    // is given that mode (an existing one is fine as it is).
    for (std::string_view folder : {"/opt/", "/opt/kv2/"}) {
      const std::string path = paths_Device(folder);
      if (::mkdir(path.c_str(), 0755) == 0) (void)::chmod(path.c_str(), 0755);
    }
    (void)::mkdir(paths_Device("/opt/kv2/swfw/").c_str(), 0770);
  }
  char command[kCmdMaxLength + 1];
  std::snprintf(command, sizeof command, "chgrp admin \"%s\"", watch);
  (void)cmd_Run(command);  // a device without the group keeps the folder's group
  (void)::chmod(watch, 0770);
}

void config_LoadIdData() {
  std::lock_guard<std::mutex> guard(gConfigLock);
  const std::string path = paths_Device(devpath::kAppConfig);
  kv::Dictionary dict(kv::iniparser_load(path.c_str()));
  if (!dict) {
    log_PrintPriority(kPriorityError, 2, "config_LoadIdData, cannot parse file: %s\n", path.c_str());
    return;
  }
  const char* first = ::iniparser_getsecname(dict.get(), 0);
  if (first != nullptr && std::strstr(first, "appconfig") != nullptr) {
    DeviceIdData& d = gIdData;
    const struct {
      const char* key;
      char* field;
    } fields[] = {
        {"platformname", d.platformName},
        {"productname", d.productName},
        {"name", d.name},
        {"swpartnumber", d.swPartNumber},
        {"swrevision", d.swRevision},
        {"swrevshort", d.swRevShort},
        {"builddatenum", d.buildDateNum},
        {"builddate", d.buildDate},
        {"swbuildnumber", d.swBuildNumber},
        {"swbuildsequencenumber", d.swBuildSequenceNumber},
    };
    for (const auto& f : fields) {
      const std::string key = std::string(first) + ":" + f.key;
      const char* value = ::iniparser_getstring(dict.get(), key.c_str(), nullptr);
      if (value != nullptr) kv::CopyBounded(f.field, kIdTextSize, value);
    }
  }
  log_Print(2, "config_LoadData, Config file %s loaded successfully\n", path.c_str());
}

DeviceIdData& config_GetIdData() { return gIdData; }

void config_SetIdDefaults() {
  std::lock_guard<std::mutex> guard(gConfigLock);
  SetIdDefaultsLocked();
}

DeviceIdData config_SnapshotIdData() {
  std::lock_guard<std::mutex> guard(gConfigLock);
  return gIdData;
}

void config_SetSecurityFlags(const IdSecurityFlags& flags) {
  std::lock_guard<std::mutex> guard(gConfigLock);
  DeviceIdData& d = gIdData;
  d.sftpEnabled = flags.sftpEnabled;
  d.pcommPortFree = flags.pcommPortFree;
  d.writeBackup = flags.writeBackup;
  d.forceSsl = flags.forceSsl;
  d.digestAccess = flags.digestAccess;
  d.remoteAuthentication = flags.remoteAuthentication;
}
