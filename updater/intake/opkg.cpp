#include "intake/opkg.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "intake/unpack.h"

namespace {

OpkgControlInfo gInfo{};

// What unpacking leaves next to the package. The data archive is never read
// here (the installer unit installs from the package itself), so it is not
// extracted: on a large package that would be a second write of the payload.
constexpr const char* kArMembers[] = {"debian-binary", "control.tar.gz"};
constexpr const char* kControlMembers[] = {"control", "preinst", "postinst", "prerm", "postrm"};

// Moves each named regular file from the staging folder into the folder.
void TakeMembers(const std::string& staging, const std::string& folder, const char* const* names, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) (void)unpack_TakeMember(staging, folder, names[i]);
}

}  // namespace

void opkg_ClearControlInfo() { gInfo = OpkgControlInfo{}; }

const OpkgControlInfo& opkg_GetControlInfo() { return gInfo; }

int opkg_Unpack(const char* folder, const char* name) {
  const std::string dir = folder;
  const std::string package = dir + name;
  // A fresh, private staging folder inside the folder (same file system, so
  // members are moved, not copied). Nothing exists in it that an archive
  // member could be written through.
  if (kv::Result<std::string> made = unpack_MakeStaging(dir); made) {
    const std::string& staging = made.value();
    const std::string tar = paths_Device(devpath::kTar);
    char line[1024];
    std::snprintf(line, sizeof line, "cd \"%s\"; %s -x \"%s\" debian-binary control.tar.gz  >/dev/null",
                  staging.c_str(), paths_Device(devpath::kAr).c_str(), package.c_str());
    cmd_System(line);
    // The control archive is not signed yet: extracted as plain data, and
    // not at all when it holds a device node or a FIFO.
    if (unpack_PlainMembersOnly(tar, staging + "control.tar.gz", true)) {
      std::snprintf(line, sizeof line, "cd \"%s\"; %s --no-same-owner --no-same-permissions -zxf control.tar.gz",
                    staging.c_str(), tar.c_str());
      cmd_System(line);
    } else {
      log_SetPriority(kPriorityError);
      log_Print(1,
                "opkg_Unpack, control.tar.gz of %s holds a device node, a FIFO or a member of another type, "
                "not unpacked\n",
                name);
    }
    TakeMembers(staging, dir, kArMembers, std::size(kArMembers));
    TakeMembers(staging, dir, kControlMembers, std::size(kControlMembers));
    unpack_RemoveStaging(staging);
  }
  ::sync();
  return ::access(package.c_str(), F_OK) == 0 ? 0 : 1;
}

int opkg_extractControlInfo(const char* folder) {
  int result = 4;
  const std::string path = std::string(folder) + "control";
  kv::File f = kv::OpenFile(path.c_str(), "r");
  if (!f) {
    std::perror("fopen 'control' file");
    return 1;
  }
  struct Field {
    const char* key;
    char* value;
  };
  const Field fields[] = {{"Package", gInfo.package},
                          {"Version", gInfo.version},
                          {"License", gInfo.license},
                          {"Architecture", gInfo.architecture}};
  char line[2000];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    const std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
    char* save = nullptr;
    const char* key = strtok_r(line, ":", &save);
    if (key == nullptr) continue;
    for (const Field& field : fields) {
      if (std::strcmp(key, field.key) != 0) continue;
      const char* value = strtok_r(nullptr, ": \r\n", &save);
      if (value == nullptr) break;
      log_Print(3, "opkg_extractControlInfo - opkg found: %s=%s\n", key, value);
      kv::CopyBounded(field.value, kControlFieldSize, value, kControlFieldSize - 1);
      --result;
      break;
    }
  }
  f.reset();
  ::sync();
  return result;
}

int opkg_IsPlainPackageName(const char* package) {
  if (package == nullptr || package[0] == '\0') return 0;
  if (std::strcmp(package, ".") == 0 || std::strcmp(package, "..") == 0) return 0;
  return std::strpbrk(package, "/\"'") == nullptr ? 1 : 0;
}

std::string opkg_InstalledVersion(const char* package) {
  constexpr std::size_t kDatabaseLimit = 4 * 1024 * 1024;
  const kv::Result<std::string> read = safefile_Read(paths_Device(devpath::kOpkgDatabase), kDatabaseLimit);
  if (!read || package == nullptr) return {};
  // Stanzas of "Key: value" lines, separated by empty lines.
  std::string_view rest = read.value();
  bool inPackage = false;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      inPackage = false;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (key == "Package") {
      inPackage = value == package;
    } else if (key == "Version" && inPackage) {
      return std::string(value);
    }
  }
  return {};
}
