#include "intake/scandir.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "intake/cleanup.h"
#include "intake/extfilter.h"
#include "intake/headerwalk.h"

namespace {

ChecksumRecord gChecksum{};

constexpr char kBlacklist[] = {'&', '\n', '\r', '|', '`', '\'', '$', '%', '"', '<', '>', ';', '*'};

// Frees a scandir listing and its entries.
struct Listing {
  struct dirent** entries = nullptr;
  int count = 0;
  ~Listing() {
    for (int i = 0; i < count; ++i) std::free(entries[i]);
    std::free(entries);
  }
};

// A regular file with exactly one link, looked at without following links.
bool IsPlainFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// The checksum step of the classification: only for diagnosis.
// Returns 0 when md5sum could not be started, 1 otherwise.
int RecordChecksum(const char* folder, const char* name) {
  char copy[502];
  kv::CopyBounded(copy, name, 501);
  std::vector<std::string_view> pieces;
  char* save = nullptr;
  for (char* p = strtok_r(copy, "_.", &save); p != nullptr; p = strtok_r(nullptr, "_.", &save)) {
    pieces.emplace_back(p);
  }
  if (pieces.size() < 3 || pieces[pieces.size() - 2].size() != 32) return 1;
  const std::string_view fromName = pieces[pieces.size() - 2];

  ::sync();
  const std::string command = paths_Device(devpath::kMd5sum) + " " + folder + name;
  kv::Pipe pipe = cmd_OpenPipe(command.c_str());
  if (!pipe) {
    log_Print(1, "scandir_getCRYFileTypeFromHeader, unable to popen file\n");
    return 0;
  }
  char line[128] = "";
  if (std::fgets(line, sizeof line, pipe.get()) == nullptr) line[0] = '\0';
  line[32] = '\0';
  kv::CopyBounded(gChecksum.fromName, fromName);
  kv::CopyBounded(gChecksum.computed, line);
  if (std::strcmp(gChecksum.fromName, gChecksum.computed) != 0) {
    gChecksum.fromName[0] = '\0';
    gChecksum.computed[0] = '\0';
  }
  return 1;
}

// Classifies by the value of one FILETYPE line; returns the new result.
int ClassifyFileType(const char* value, int result) {
  log_Print(3, "scandir_getCRYFileTypeFromHeader, found FILETYPE=%s\n", value);
  while (*value == ' ' || *value == '\t' || *value == '\n' || *value == '\r' || *value == '\v' ||
         *value == '\f') {
    ++value;
  }
  if (std::strcmp(value, "UPDATEFULL") == 0 || std::strcmp(value, "UPDATE-FULL") == 0 ||
      std::strcmp(value, "UPDATE") == 0) {
    log_Print(2, "scandir_getCRYFileTypeFromHeader, detected Bundle file\n");
    return 5;
  }
  if (std::strcmp(value, "APP-CRY") == 0) {
    log_Print(2, "scandir_getCRYFileTypeFromHeader, detected CRY installer file\n");
    return 1;
  }
  return result;
}

// Walks the header lines of the terminated text for FILETYPE values; later
// lines overwrite earlier ones.
int WalkHeader(char* text) {
  int result = 0;
  header_WalkLines(text, true, [&result](const char* key, char** rest) {
    if (std::strcmp(key, "FILETYPE") == 0) {
      if (const char* value = header_NextValue(rest)) result = ClassifyFileType(value, result);
    }
    return true;
  });
  return result;
}

}  // namespace

const ChecksumRecord& scandir_GetChecksumRecord() { return gChecksum; }

int scandir_CheckBlacklist(const char* name) {
  for (const char c : kBlacklist) {
    if (std::strchr(name, c) != nullptr) {
      log_Print(1, "Blacklisted file: %s", name);
      return 0;
    }
  }
  return 1;
}

std::string scandir_GetExtension(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? std::string(dot + 1) : std::string();
}

int scandir_FilterByExtension(const struct dirent* entry) {
  char name[512];
  kv::CopyBounded(name, entry->d_name, 511);
  const char* slash = std::strrchr(name, '/');
  return extfilter_Matches(slash != nullptr ? slash + 1 : name);
}

int scandir_CryTypeFromText(const char* data, std::size_t n) {
  if (n > 500) n = 500;
  if (n == 0) return 0;
  char buffer[1000];
  std::memcpy(buffer, data, n);
  // The text ends where the last byte read stood.
  buffer[n - 1] = '\0';
  return WalkHeader(buffer);
}

int scandir_getCRYFileTypeFromHeader(const char* folder, const char* name) {
  if (RecordChecksum(folder, name) == 0) return 0;

  const std::string path = std::string(folder) + name;
  kv::File f = kv::OpenFile(path.c_str(), "rb");
  if (!f) {
    log_SetPriority(kPriorityError);
    log_Print(3, "scandir_getCRYFileTypeFromHeader, Can't open infile .CRY\n");
    return 0;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[1000]);
  if (!buffer) {
    log_SetPriority(kPriorityError);
    log_Print(3, "scandir_getCRYFileTypeFromHeader, Mem alloc Header data failed.\n");
    return 0;
  }
  log_Print(2, "scandir_getCRYFileTypeFromHeader, opened infile successfully: %s\n", name);
  const std::size_t n = std::fread(buffer.get(), 1, 500, f.get());
  const int result = scandir_CryTypeFromText(buffer.get(), n);
  if (result == 0) log_Print(2, "scandir_getCRYFileTypeFromHeader, unknown filetype \n");
  return result;
}

int scandir_GetFileType(const char* folder, const char* name) {
  if (std::strncmp(name, "IMAGE.CRY", 9) == 0) return kInstallerImage;
  const std::string ext = scandir_GetExtension(name);
  if (strncasecmp(ext.c_str(), "IPK", 3) == 0) return kInstallerIpk;
  if (strncasecmp(ext.c_str(), "CRY", 3) != 0) return kInstallerNone;
  const int kind = scandir_getCRYFileTypeFromHeader(folder, name);
  if (kind > 0) return kind;
  return std::strncmp(name, "IMAGE", 5) == 0 ? kInstallerImage : kInstallerNone;
}

int scandir_FindInstaller(const char* folder, char* found, std::initializer_list<const char*> extensions) {
  extfilter_Set(extensions);
  Listing listing;
  listing.count = ::scandir(folder, &listing.entries, scandir_FilterByExtension, alphasort);
  if (listing.count < 0) {
    listing.count = 0;
    return kInstallerNone;
  }
  found[0] = '\0';
  for (int i = listing.count - 1; i >= 0; --i) {
    const char* name = listing.entries[i]->d_name;
    if (scandir_CheckBlacklist(name) == 0) {
      scandir_DeleteArtefacts(paths_WatchFolder());
      return kInstallerNone;
    }
    if (!IsPlainFile(std::string(folder) + name)) {
      log_Print(1, "scandir_FindInstaller, %s is not a regular file with a single link, not taken\n", name);
      continue;
    }
    kv::CopyBounded(found, kFoundNameSize, name, kFoundNameSize - 1);
    const int kind = scandir_GetFileType(folder, found);
    if (kind != kInstallerNone) return kind;
  }
  return kInstallerNone;
}

int FileReady(const char* folder, const char* name) {
  const std::string command = std::string("fuser ") + folder + name;
  kv::Pipe pipe = cmd_OpenPipe(command.c_str());
  if (!pipe) return 1;
  int ready = 1;
  char piece[511];
  while (std::fgets(piece, sizeof piece, pipe.get()) != nullptr) {
    log_Print(1, "Main,  FileReady() file is busy %s\n", name);
    ready = 0;
  }
  return ready;
}
