#include "intake/opkg.h"

#include <archive.h>
#include <archive_entry.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "intake/unpack.h"

namespace {

OpkgControlInfo gInfo{};

// Why the control file was not unpacked, and which part of the package was
// over which cap.
struct ControlRefusal {
  UnpackRefusal kind = UnpackRefusal::kDamaged;
  const char* part = "control.tar.gz";
  std::size_t cap = 0;
};

const ControlRefusal kDamaged{};

bool IsControl(const std::string& name) { return name == "control"; }

// The control.tar.gz member of the ar archive fd (size bytes), as stored.
kv::Result<std::string, ControlRefusal> ReadControlArchive(int fd, std::uint64_t size) {
  kv::ArchiveReader ar(archive_read_new());
  if (!ar || archive_read_support_format_ar(ar.get()) != ARCHIVE_OK) return kDamaged;
  auto source = std::make_unique<UnpackSource>();
  source->fd = fd;
  source->left = size;
  source->readLeft = kControlSearchMax;
  if (!unpack_OpenSource(ar.get(), *source)) return kDamaged;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(ar.get(), &entry) == ARCHIVE_OK) {
    const char* path = archive_entry_pathname(entry);
    if (path == nullptr || (std::strcmp(path, "control.tar.gz") != 0 && std::strcmp(path, "./control.tar.gz") != 0)) {
      continue;  // skipped unread
    }
    const ControlRefusal overCap{UnpackRefusal::kOverCap, "control.tar.gz", kControlArchiveMax};
    if (archive_entry_size(entry) > static_cast<la_int64_t>(kControlArchiveMax)) return overCap;
    kv::Result<std::string, UnpackRefusal> data = unpack_ReadData(ar.get(), kControlArchiveMax);
    if (!data) return data.error() == UnpackRefusal::kOverCap ? overCap : kDamaged;
    return std::move(data).value();
  }
  return kDamaged;
}

// The tar inside control.tar.gz: gzip only (no external program), inflated
// in memory up to kControlTarMax bytes.
kv::Result<std::string, ControlRefusal> Inflate(const std::string& gz) {
  kv::ArchiveReader raw(archive_read_new());
  if (!raw || archive_read_support_filter_gzip(raw.get()) != ARCHIVE_OK ||
      archive_read_support_format_raw(raw.get()) != ARCHIVE_OK) {
    return kDamaged;
  }
  archive_entry* entry = nullptr;
  if (archive_read_open_memory(raw.get(), gz.data(), gz.size()) != ARCHIVE_OK ||
      archive_read_next_header(raw.get(), &entry) != ARCHIVE_OK ||
      archive_filter_code(raw.get(), 0) != ARCHIVE_FILTER_GZIP) {
    return kDamaged;
  }
  kv::Result<std::string, UnpackRefusal> tar = unpack_ReadData(raw.get(), kControlTarMax);
  if (!tar) {
    if (tar.error() == UnpackRefusal::kOverCap) {
      return ControlRefusal{UnpackRefusal::kOverCap, "the content of control.tar.gz", kControlTarMax};
    }
    return kDamaged;
  }
  return std::move(tar).value();
}

// Writes the control file of package into staging; returns the names written.
kv::Result<std::vector<std::string>, ControlRefusal> UnpackControl(const std::string& package,
                                                                   const std::string& staging) {
  struct stat st {};
  kv::Result<kv::Fd> fd = safefile_OpenRegular(package, &st);
  if (!fd) return kDamaged;
  kv::Result<std::string, ControlRefusal> gz =
      ReadControlArchive(fd.value().get(), static_cast<std::uint64_t>(st.st_size));
  if (!gz) return gz.error();
  kv::Result<std::string, ControlRefusal> tar = Inflate(gz.value());
  if (!tar) return tar.error();
  kv::ArchiveReader reader(archive_read_new());
  if (!reader || archive_read_support_format_tar(reader.get()) != ARCHIVE_OK ||
      archive_read_open_memory(reader.get(), tar.value().data(), tar.value().size()) != ARCHIVE_OK) {
    return kDamaged;
  }
  kv::Result<std::vector<std::string>, UnpackRefusal> members =
      unpack_Members(reader.get(), staging, IsControl, UnpackLimits{kControlFileMax, tar.value().size()});
  if (!members) return ControlRefusal{members.error(), "control", kControlFileMax};
  return std::move(members).value();
}

void LogRefusal(const char* name, const ControlRefusal& refusal) {
  switch (refusal.kind) {
    case UnpackRefusal::kSpecialMember:
      log_PrintPriority(kPriorityError, 1,
                        "opkg_Unpack, control.tar.gz of %s holds a device node, a FIFO or a member of another type, "
                        "not unpacked\n",
                        name);
      return;
    case UnpackRefusal::kOverCap:
      log_PrintPriority(kPriorityError, 1, "opkg_Unpack, %s of %s exceeds its cap of %zu bytes, not unpacked\n",
                        refusal.part, name, refusal.cap);
      return;
    default:
      // An archive that is not a package, or whose control data is cut
      // short: no control file, and the missing package name says the rest.
      log_Print(3, "opkg_Unpack, no control file unpacked from %s\n", name);
      return;
  }
}

}  // namespace

void opkg_ClearControlInfo() { gInfo = OpkgControlInfo{}; }

const OpkgControlInfo& opkg_GetControlInfo() { return gInfo; }

int opkg_Unpack(const char* folder, const char* name) {
  const std::string dir = folder;
  const std::string package = dir + name;
  // A fresh, private staging folder inside the folder (same file system, so
  // the control file is moved, not copied). Nothing exists in it that a
  // member could be written through.
  if (kv::Result<std::string> made = unpack_MakeStaging(dir); made) {
    const std::string& staging = made.value();
    const kv::Result<std::vector<std::string>, ControlRefusal> members = UnpackControl(package, staging);
    if (members) {
      for (const std::string& member : members.value()) (void)unpack_TakeMember(staging, dir, member);
    } else {
      LogRefusal(name, members.error());
    }
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
