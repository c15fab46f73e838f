#include "intake/cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/handles.h"
#include "core/log.h"
#include "core/statefile.h"
#include "intake/extfilter.h"
#include "intake/scandir.h"

namespace {

// Whether a process holds a lock on the file at path: both kinds of lock
// are requested without waiting, and released at once.
bool LockHeld(const std::string& path) {
  kv::Fd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return false;  // not a regular file of ours to judge: removed as before
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(fd.get(), F_OFD_SETLK, &whole) != 0) return true;
  whole.l_type = F_UNLCK;
  (void)::fcntl(fd.get(), F_OFD_SETLK, &whole);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  (void)::flock(fd.get(), LOCK_UN);
  return false;
}

int DeleteMatching(const char* folder, const char* ext, const char* keep, bool sparingHeldLocks) {
  extfilter_Set({ext});
  struct dirent** list = nullptr;
  const int n = ::scandir(folder, &list, scandir_FilterByExtension, alphasort);
  if (n < 0) {
    std::perror("scandir");
    return 1;
  }
  for (int i = n - 1; i >= 0; --i) {
    if (keep != nullptr && keep[0] != '\0' && std::strcmp(list[i]->d_name, keep) == 0) {
      std::free(list[i]);
      continue;
    }
    const std::string path = std::string(folder) + list[i]->d_name;
    if (sparingHeldLocks && LockHeld(path)) {
      log_Print(2, "scandir_Deletefiles, %s is held by another process, kept\n", path.c_str());
      std::free(list[i]);
      continue;
    }
    log_Print(2, "scandir_Deletefiles, deleting unused installer artefacts:  %s\n", path.c_str());
    (void)std::remove(path.c_str());
    std::free(list[i]);
  }
  std::free(list);
  return 0;
}

}  // namespace

int scandir_Deletefiles(const char* folder, const char* ext) { return DeleteMatching(folder, ext, nullptr, false); }

int scandir_DeletefilesExcept(const char* folder, const char* ext, const char* keep) {
  return DeleteMatching(folder, ext, keep, false);
}

int scandir_DeleteUnheldLocks(const char* folder, const char* ext) {
  return DeleteMatching(folder, ext, nullptr, true);
}

void scandir_DeleteSomefiles(const char* folder, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const std::string path = std::string(folder) + name;
    if (::access(path.c_str(), F_OK) == 0) {
      (void)std::remove(path.c_str());
      log_Print(2, "scandir_DeleteSomefiles, deleting unused installer artefacts:  %s\n", path.c_str());
    }
  }
}

void scandir_CreateLockfile(const char* folder, const char* lockName, const char* installerPath) {
  const std::time_t now = std::time(nullptr);
  char created[64] = "missing timestamp, localtime() failed";
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) {
    std::snprintf(created, sizeof created, "%d-%d-%d %d:%d:%d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
  }
  const std::string text = std::string("created: ") + created +
                           "\ntimestamp: " + std::to_string(static_cast<long long>(now)) +
                           "\nInstall file: " + installerPath + "\n";
  // A lock that cannot be written is passed over, as the loop always did.
  (void)statefile_Write(std::string(folder) + lockName, text);
  log_Print(2, "scandir_CreateLockfile, creating lockfile\n");
}

namespace {

// Splits a lock line at its first run of colons: the key is the text before
// it, the value the next run of characters that are not colon, blank, CR or
// LF. Returns 1 with the value when the key is "timestamp" and has one.
int TimestampValue(char* line, const char** value) {
  char* save = nullptr;
  const char* key = strtok_r(line, ":", &save);
  if (key == nullptr || std::strcmp(key, "timestamp") != 0) return 0;
  const char* v = strtok_r(nullptr, ": \r\n", &save);
  if (v == nullptr) return 0;
  *value = v;
  return 1;
}

// Removes the line feed that ends a line as read by fgets.
void DropLineFeed(char* line) {
  const std::size_t n = std::strlen(line);
  if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
}

}  // namespace

int scandir_LockHeld(const char* folder, const char* lockName) {
  return statefile_IsOwn(std::string(folder) + lockName) ? 1 : 0;
}

int scandir_LockfileExpired(const char* folder, const char* lockName, long expirySeconds) {
  constexpr std::size_t kLockReadLimit = 65536;
  kv::Result<std::string> text = statefile_Read(std::string(folder) + lockName, kLockReadLimit);
  if (!text) return 0;
  if (text.value().empty()) return 1;  // no timestamp line
  // Read line by line as from the file itself (a line of more than 512
  // characters comes in pieces).
  kv::File f(::fmemopen(text.value().data(), text.value().size(), "r"));
  if (!f) return 0;
  char line[513];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    DropLineFeed(line);
    const char* value = nullptr;
    if (TimestampValue(line, &value) == 1) {
      // A value that is not a number reads as 0, so the lock is stale.
      // stamp + expiry < now, written so that no stamp can overflow. A stamp
      // further in the future than the expiry is stale too: such a lock was
      // written before the clock was set back, or by someone who gave a file
      // of the daemon's this name to stop intake for good.
      const long long stamp = std::strtoll(value, nullptr, 10);
      const long long now = static_cast<long long>(std::time(nullptr));
      return stamp < now - expirySeconds || stamp > now + expirySeconds ? 1 : 0;
    }
  }
  return 1;
}

int scandir_FileExists(const char* folder, const char* name) {
  const std::string path = std::string(folder) + name;
  return ::access(path.c_str(), F_OK) == 0 ? 1 : 0;
}
