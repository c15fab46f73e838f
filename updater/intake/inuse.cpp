#include "intake/inuse.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/handles.h"

namespace {

bool IsPid(const char* name) {
  if (*name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

// Any descriptor of the process that leads to the file.
bool HoldsOpen(int procFd, const std::string& pid, const struct stat& file) {
  kv::Fd fds(::openat(procFd, (pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds) return false;
  kv::Dir dir(::fdopendir(fds.get()));
  if (!dir) return false;
  (void)fds.release();  // the listing owns it now
  while (const struct dirent* e = ::readdir(dir.get())) {
    if (!IsPid(e->d_name)) continue;  // descriptor numbers are digits too
    struct stat st {};
    // The link is followed to what the descriptor stands for.
    if (::fstatat(::dirfd(dir.get()), e->d_name, &st, 0) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
      return true;
    }
  }
  return false;
}

// Any memory mapping of the process backed by the file. A shared writable
// mapping outlives the descriptor it was made with.
bool HoldsMapped(int procFd, const std::string& pid, const struct stat& file) {
  kv::Fd fd(::openat(procFd, (pid + "/maps").c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  kv::File maps(::fdopen(fd.get(), "r"));
  if (!maps) return false;
  (void)fd.release();
  const unsigned wantMajor = major(file.st_dev);
  const unsigned wantMinor = minor(file.st_dev);
  char* line = nullptr;
  std::size_t size = 0;
  bool found = false;
  // start-end perms offset major:minor inode [path]
  while (!found && ::getline(&line, &size, maps.get()) > 0) {
    unsigned devMajor = 0;
    unsigned devMinor = 0;
    std::uintmax_t inode = 0;
    if (std::sscanf(line, "%*x-%*x %*s %*x %x:%x %" SCNuMAX, &devMajor, &devMinor, &inode) == 3 && inode != 0 &&
        inode == static_cast<std::uintmax_t>(file.st_ino) && devMajor == wantMajor && devMinor == wantMinor) {
      found = true;
    }
  }
  std::free(line);
  return found;
}

}  // namespace

bool inuse_HeldByOthers(const struct stat& file) {
  // The kernel's own process table, never a sandboxed device path.
  kv::Fd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc) return false;
  kv::Dir dir(::fdopendir(proc.get()));
  if (!dir) return false;
  const int procFd = proc.release();
  const std::string self = std::to_string(::getpid());
  while (const struct dirent* e = ::readdir(dir.get())) {
    if (!IsPid(e->d_name) || self == e->d_name) continue;
    const std::string pid = e->d_name;
    if (HoldsOpen(procFd, pid, file) || HoldsMapped(procFd, pid, file)) return true;
  }
  return false;
}
