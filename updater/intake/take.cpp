#include "intake/take.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/cmd.h"
#include "core/handles.h"
#include "intake/inuse.h"

namespace {

kv::Status Move(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return kv::Ok();
  if (errno != EXDEV) return kv::SystemError("cannot be moved");
  const std::string line = "mv \"" + from + "\" \"" + to + "\"";
  struct stat st {};
  if (cmd_Run(line.c_str()) == 1 && ::lstat(to.c_str(), &st) == 0) return kv::Ok();
  return kv::Error(EXDEV, "cannot be moved to another file system");
}

bool SingleRegular(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

// The checks on what arrived at path; nothing is changed before the entry is
// known to be a regular file with no other link (a hard link to another
// file must not have its owner or mode changed).
kv::Status Check(const std::string& path, bool checkHeld) {
  const kv::Error notPlain(0, "is not a regular file with a single link");
  struct stat before {};
  if (::lstat(path.c_str(), &before) != 0) return kv::SystemError("is gone");
  if (!SingleRegular(before)) return notPlain;
  // O_NONBLOCK: should the entry have become a FIFO, the open does not wait.
  kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return notPlain;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || st.st_dev != before.st_dev || st.st_ino != before.st_ino || !SingleRegular(st)) {
    return notPlain;
  }
  if (::fchown(fd.get(), ::geteuid(), ::getegid()) != 0 || ::fchmod(fd.get(), 0644) != 0) {
    return kv::SystemError("cannot be given to the daemon's user");
  }
  // Its owner could have linked it somewhere else until the line above.
  if (::fstat(fd.get(), &st) != 0 || !SingleRegular(st)) return notPlain;
  if (checkHeld && inuse_HeldByOthers(st)) return kv::Error(0, "is held open by another process");
  return kv::Ok();
}

void Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && (errno == EISDIR || errno == EPERM)) (void)::rmdir(path.c_str());
}

}  // namespace

kv::Status take_File(const std::string& from, const std::string& to, bool checkHeld) {
  if (kv::Status moved = Move(from, to); !moved) return moved;
  kv::Status checked = Check(to, checkHeld);
  if (!checked) Remove(to);
  return checked;
}
