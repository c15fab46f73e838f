#include "intake/scandir.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/printable.h"
#include "core/safefile.h"
#include "intake/bundle.h"
#include "intake/cleanup.h"
#include "intake/dropsig.h"
#include "intake/extfilter.h"
#include "intake/headerwalk.h"
#include "intake/inuse.h"
#include "intake/take.h"

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

// Set when the last header classification read a header that names no type
// the daemon takes (as opposed to a file it could not read), and whether it
// read the whole header window (a shorter file may still be arriving).
bool gHeaderWithoutType = false;
bool gHeaderWhole = false;

// Bytes of a container's head that the classification reads.
constexpr std::size_t kHeaderWindow = 500;

// The scan's verdict on each entry of the watch folder, by name, together
// with what the entry was when it was judged: a change to the entry (a
// write, a rename, a link dropped, a new file at the name) changes its
// size or ctime, and it is judged afresh. An entry whose verdict still holds
// is never read and never logged again, so no pass costs more because the
// folder is hostile: each pass looks at each entry with one lstat, and at a
// busy one with one lease check. Verdicts of names no longer listed are
// forgotten, so the record never holds more than the folder does.
struct Verdict {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec ctime {};
  bool setAside = false;                         // refused and not removable, or its take failed
  int kind = 0;                                  // the classification, when it has one
  bool busy = false;                             // held open by another process when last looked at
  bool busySaid = false;                         // "file is busy" was logged for this state of it
  std::chrono::steady_clock::time_point seen{};  // when this state of it was first looked at
  bool waitSaid = false;                         // its wait for a signature was logged
};
std::map<std::string, Verdict> gVerdicts;

bool Holds(const Verdict& v, const struct stat& st) {
  return v.dev == st.st_dev && v.ino == st.st_ino && v.size == st.st_size && v.ctime.tv_sec == st.st_ctim.tv_sec &&
         v.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

Verdict& Judge(const char* name, const struct stat& st) {
  Verdict& v = gVerdicts[name];
  v = Verdict{};
  v.dev = st.st_dev;
  v.ino = st.st_ino;
  v.size = st.st_size;
  v.ctime = st.st_ctim;
  v.seen = std::chrono::steady_clock::now();
  return v;
}

void PutAside(const struct stat& st, const char* name) { Judge(name, st).setAside = true; }

// Keeps the verdicts of the listed names only.
void ForgetUnlisted(const std::set<std::string_view>& listed) {
  for (auto it = gVerdicts.begin(); it != gVerdicts.end();) {
    it = listed.count(it->first) == 0 ? gVerdicts.erase(it) : std::next(it);
  }
}

// 1 held, 0 free, -1 when it cannot be told; looked at through one
// descriptor, without reading the file.
int HeldByOthers(const std::string& path) {
  struct stat st {};
  kv::Result<kv::Fd> fd = safefile_OpenRegular(path, &st);
  if (!fd) return 0;
  const int held = take_HeldByOthers(fd.value().get());
  return held >= 0 ? held : (inuse_HeldByOthers(st) ? 1 : 0);
}

// A package, container or image with no signature beside it or in the
// bundle folder (or one still being uploaded beside it) is passed over
// until its signature comes, at most for the wait after the scan first saw
// it as it is: then it goes on, and its check refuses it if it still has
// none. Passed over, not deferred, so that it holds up no drop beside it.
bool AwaitsSignature(const char* folder, const char* name, int kind, Verdict& v) {
  if (kind != kInstallerIpk && kind != kInstallerAppCry && kind != kInstallerImage) return false;
  const long wait = dropsig_WaitSeconds();
  if (wait <= 0 || std::chrono::steady_clock::now() - v.seen >= std::chrono::seconds(wait)) return false;
  if (!dropsig_Missing(folder, name)) return false;
  if (!v.waitSaid) {
    log_Print(1, "scandir_FindInstaller, %s waits up to %ld s for its signature %s\n", name, wait,
              dropsig_NameFor(name).c_str());
    v.waitSaid = true;
  }
  return true;
}

// Removes a refused entry (never what a link points at); false when it stays.
bool RemoveEntry(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return true;
  return (errno == EISDIR || errno == EPERM) && ::rmdir(path.c_str()) == 0;
}

// The level-1 line for a name that command lines cannot carry.
void LogNotCarried(const char* name, char c) {
  // A drop the daemon never installs: an error, not a notice.
  log_PrintPriority(kPriorityError, 1, "scandir_FindInstaller, %s holds %s, which no command line may carry, removed\n",
                    kv::Printable(name, false).c_str(), cmd_RefusedByteText(c).c_str());
}

// The md5 sum of what the open file holds, as 32 lower-case hexadecimal
// digits; empty when it cannot be had.
std::string Md5Of(int fd) {
  kv::MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    kv::ClearSslErrors();
    return {};
  }
  char buffer[16384];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(n)) != 1) {
      kv::ClearSslErrors();
      return {};
    }
    at += n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    kv::ClearSslErrors();
    return {};
  }
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// The checksum step of the classification: only for diagnosis. The sum is
// taken over the descriptor the header is read from, in the daemon itself:
// a command given the file's name would read whatever stands at that name by
// then (a FIFO there would hold it, and the loop, for ever).
void RecordChecksum(const char* name, int fd) {
  char copy[502];
  kv::CopyBounded(copy, name, 501);
  std::vector<std::string_view> pieces;
  char* save = nullptr;
  for (char* p = strtok_r(copy, "_.", &save); p != nullptr; p = strtok_r(nullptr, "_.", &save)) {
    pieces.emplace_back(p);
  }
  if (pieces.size() < 3 || pieces[pieces.size() - 2].size() != 32) return;
  const std::string_view fromName = pieces[pieces.size() - 2];

  ::sync();
  const std::string computed = Md5Of(fd);
  if (computed.empty()) log_Print(3, "scandir_getCRYFileTypeFromHeader, no md5 sum of %s\n", name);
  kv::CopyBounded(gChecksum.fromName, fromName);
  kv::CopyBounded(gChecksum.computed, computed);
  if (std::strcmp(gChecksum.fromName, gChecksum.computed) != 0) {
    gChecksum.fromName[0] = '\0';
    gChecksum.computed[0] = '\0';
  }
}

// Classifies by the value of one FILETYPE line; returns the new result.
int ClassifyFileType(const char* value, int result) {
  log_Print(3, "scandir_getCRYFileTypeFromHeader, found FILETYPE=%s\n", value);
  while (*value == ' ' || *value == '\t' || *value == '\n' || *value == '\r' || *value == '\v' || *value == '\f') {
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
      log_PrintPriority(kPriorityError, 1, "Blacklisted file: %s", kv::Printable(name, false).c_str());
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
  gHeaderWithoutType = false;
  gHeaderWhole = false;
  // Opened once, without following a link or waiting on a FIFO that was put
  // at the name after the scan looked at it; the checksum and the header
  // both come from this descriptor.
  const std::string path = std::string(folder) + name;
  struct stat st {};
  kv::Result<kv::Fd> opened = safefile_OpenRegular(path, &st);
  if (!opened) {
    log_PrintPriority(kPriorityError, 3, "scandir_getCRYFileTypeFromHeader, Can't open infile .CRY\n");
    return 0;
  }
  const kv::Fd& fd = opened.value();
  // The checksum reads the whole file: never one that holds fewer bytes
  // than it claims.
  if (safefile_IsDense(fd.get(), st)) RecordChecksum(name, fd.get());
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[1000]);
  if (!buffer) {
    log_PrintPriority(kPriorityError, 3, "scandir_getCRYFileTypeFromHeader, Mem alloc Header data failed.\n");
    return 0;
  }
  log_Print(2, "scandir_getCRYFileTypeFromHeader, opened infile successfully: %s\n", name);
  const ssize_t got = ::pread(fd.get(), buffer.get(), kHeaderWindow, 0);
  const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;
  // The header is whole once its empty line was read, or the window is full.
  const std::string_view head(buffer.get(), n);
  gHeaderWhole = n == kHeaderWindow || head.find("\n\r\n") != std::string_view::npos ||
                 head.find("\n\n") != std::string_view::npos;
  const int result = scandir_CryTypeFromText(buffer.get(), n);
  if (result == 0) {
    log_Print(2, "scandir_getCRYFileTypeFromHeader, unknown filetype \n");
    gHeaderWithoutType = true;
  }
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

char scandir_RefusedNameCharacter(const char* name) {
  for (const char c : kBlacklist) {
    if (std::strchr(name, c) != nullptr) return c;
  }
  char refused = '\0';
  return cmd_IsAllowedLine(name, &refused) == 1 ? '\0' : refused;
}

int scandir_FindInstaller(const char* folder, char* found, std::initializer_list<const char*> extensions) {
  extfilter_Set(extensions);
  Listing listing;
  listing.count = ::scandir(folder, &listing.entries, scandir_FilterByExtension, alphasort);
  if (listing.count < 0) {
    listing.count = 0;
    return kInstallerNone;
  }
  std::set<std::string_view> listed;
  for (int i = 0; i < listing.count; ++i) listed.insert(listing.entries[i]->d_name);
  ForgetUnlisted(listed);

  found[0] = '\0';
  const char* deferred = nullptr;
  int deferredKind = kInstallerNone;
  for (int i = listing.count - 1; i >= 0; --i) {
    const char* name = listing.entries[i]->d_name;
    const std::string path = std::string(folder) + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    int kind = kInstallerNone;
    if (auto it = gVerdicts.find(name); it != gVerdicts.end() && Holds(it->second, st)) {
      Verdict& v = it->second;
      if (v.setAside || v.kind == kInstallerNone) continue;
      // Judged before and unchanged: its kind stands, only whether it is
      // still held is looked at again.
      if (v.busy && HeldByOthers(path) == 0) v.busy = false;
      kind = v.kind;
    } else {
      gVerdicts.erase(name);
      // A refused name goes, that entry only: other drops beside it stay.
      bool refused = scandir_CheckBlacklist(name) == 0;
      if (!refused) {
        char c = '\0';
        if (cmd_IsAllowedLine(name, &c) == 0) {
          LogNotCarried(name, c);
          refused = true;
        }
      }
      if (refused) {
        if (RemoveEntry(path)) return kInstallerNone;
        PutAside(st, name);
        continue;
      }
      if (!take_IsPlainFile(st)) {
        log_Print(1, "scandir_FindInstaller, %s is not a regular file with a single link, not taken\n", name);
        PutAside(st, name);
        continue;
      }
      kind = scandir_GetFileType(folder, name);
      if (kind == kInstallerNone) {
        // Read whole and still of no type the daemon takes: it never will
        // be. A file whose header does not end yet may still be on its way
        // in (an upload client creates the file, then writes it): it waits
        // until it changes, as does one that is still held open.
        if (gHeaderWithoutType && gHeaderWhole && HeldByOthers(path) == 0) {
          log_Print(1, "scandir_FindInstaller, %s names no FILETYPE the daemon takes, removed\n", name);
          if (RemoveEntry(path)) continue;
        }
        PutAside(st, name);
        continue;
      }
      Judge(name, st).kind = kind;
    }
    if (AwaitsSignature(folder, name, kind, gVerdicts[name])) continue;
    // A busy file, and a bundle while another is being worked through, are
    // looked at after the others: neither holds up the drops beside it.
    if (gVerdicts[name].busy || (kind == kInstallerBundle && bundle_Pending() == 1)) {
      if (deferred == nullptr) {
        deferred = name;
        deferredKind = kind;
      }
      continue;
    }
    kv::CopyBounded(found, kFoundNameSize, name, kFoundNameSize - 1);
    return kind;
  }
  if (deferred != nullptr) {
    kv::CopyBounded(found, kFoundNameSize, deferred, kFoundNameSize - 1);
    return deferredKind;
  }
  return kInstallerNone;
}

int FileReady(const char* folder, const char* name) {
  const std::string path = std::string(folder) + name;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || HeldByOthers(path) == 0) {
    if (auto it = gVerdicts.find(name); it != gVerdicts.end()) it->second.busy = false;
    return 1;
  }
  // Said once for each state of the file, not in every pass while it waits
  // and not again when its holder lets go and takes it again.
  auto it = gVerdicts.find(name);
  if (it == gVerdicts.end() || !Holds(it->second, st)) {
    // Changed since the scan judged it: the next pass judges it afresh.
    if (it != gVerdicts.end()) gVerdicts.erase(it);
    return 0;
  }
  Verdict& v = it->second;
  v.busy = true;
  if (!v.busySaid) {
    log_Print(1, "Main,  FileReady() file is busy %s\n", name);
    v.busySaid = true;
  }
  return 0;
}

int scandir_TakeFile(const char* folder, const char* name, const char* toFolder, const char* toName) {
  const std::string from = std::string(folder) + name;
  const kv::Status taken = take_File(from, std::string(toFolder) + toName, true);
  auto it = gVerdicts.find(name);
  const int kind = it != gVerdicts.end() ? it->second.kind : kInstallerNone;
  if (taken) {
    if (it != gVerdicts.end()) gVerdicts.erase(it);
    return 1;
  }
  log_PrintPriority(kPriorityError, 1, "scandir_TakeFile, %s %s, not taken\n", kv::Printable(name, false).c_str(),
                    taken.error().message().c_str());
  // Not taken: it stays where it is and waits until it changes (judged as
  // it is now, after the take gave it back its owner), so that it neither
  // comes back in every pass nor holds up the drops beside it. One that is
  // held open waits like any busy file.
  struct stat st {};
  if (::lstat(from.c_str(), &st) == 0) {
    Verdict& v = Judge(name, st);
    v.kind = kind;
    v.busy = taken.error().code() == EBUSY;
    v.busySaid = v.busy;  // the line above said it
    v.setAside = !v.busy;
  }
  return 0;
}
