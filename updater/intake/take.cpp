#include "intake/take.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/handles.h"
#include "core/safefile.h"

namespace {

const TakeOps kRealOps = {::write, ::linkat};
const TakeOps* gOps = &kRealOps;

const kv::Error kNotPlain(0, "is not a regular file with a single link");
const kv::Error kHeld(EBUSY, "is held open by another process");

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A fresh name beside path for a file on its way there.
std::string TempBeside(const std::string& path) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%ld-%u", static_cast<long>(::getpid()), static_cast<unsigned>(::random()));
  return FolderOf(path) + std::string(kTakeTempPrefix) + suffix;
}

// A second name for the open file fd at temp, without a path lookup of the
// file itself: what is linked is the file that was checked.
int LinkOpenFile(int fd, const std::string& temp) {
  if (gOps->linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno != EPERM && errno != ENOENT && errno != EINVAL) return -1;
  // Without the capability AT_EMPTY_PATH needs, through the descriptor's
  // entry in /proc, which the kernel resolves to the same file.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return gOps->linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW);
}

// Copies the first size bytes of fd into the fresh file temp (created
// exclusively, never through an entry someone else made). Fails when the
// file gives fewer bytes than it held when it was checked, or the copy
// cannot be written whole (no space).
kv::Status CopyOpenFile(int fd, off_t size, const std::string& temp) {
  kv::Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out) return kv::SystemError("cannot be copied");
  // Ask for the room first, so a full disk fails before anything is written.
  if (size > 0 && ::posix_fallocate(out.get(), 0, size) == ENOSPC)
    return kv::Error(ENOSPC, "cannot be copied: no space left");
  char buffer[64 * 1024];
  for (off_t at = 0; at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size - at, static_cast<off_t>(sizeof buffer)));
    const ssize_t got = ::pread(fd, buffer, want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return kv::SystemError("cannot be copied");
    if (got == 0) return kv::Error(0, "changed while it was copied");
    for (ssize_t put = 0; put < got;) {
      const ssize_t n = gOps->write(out.get(), buffer + put, static_cast<std::size_t>(got - put));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        return n < 0 && errno == ENOSPC ? kv::Error(ENOSPC, "cannot be copied: no space left")
                                        : kv::SystemError("cannot be copied");
      put += n;
    }
    at += got;
  }
  if (::fsync(out.get()) != 0) return kv::SystemError("cannot be copied");
  return kv::Ok();
}

// Gives the file back what it had when it is not taken after all.
void GiveBack(int fd, const struct stat& was) {
  // Nothing more to do when it fails. (Fortified builds warn even on a cast
  // to void, so the result is held and dropped.)
  [[maybe_unused]] const int owned = ::fchown(fd, was.st_uid, was.st_gid);
  (void)::fchmod(fd, was.st_mode & 07777);
}

}  // namespace

void take_SetOps(const TakeOps* ops) { gOps = ops != nullptr ? ops : &kRealOps; }

int take_RemoveLeftovers(const std::string& folder) {
  int removed = 0;
  kv::Dir dir(::opendir(folder.c_str()));
  if (!dir) return 0;
  while (const struct dirent* e = ::readdir(dir.get())) {
    if (std::string_view(e->d_name).rfind(kTakeTempPrefix, 0) != 0) continue;
    if (::unlinkat(::dirfd(dir.get()), e->d_name, 0) == 0) ++removed;
  }
  return removed;
}

bool take_IsPlainFile(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

int take_HeldByOthers(int fd) {
  // A write lease is granted only while this descriptor is the file's one
  // open file description: the kernel counts every other, wherever it is.
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return errno == EAGAIN ? 1 : -1;
  (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
  return 0;
}

kv::Status take_File(const std::string& from, const std::string& to, bool checkHeld, off_t maxBytes) {
  // What stands at the name now is opened once; everything after works on
  // that descriptor, and nothing that was not looked at is ever moved.
  struct stat was {};
  kv::Result<kv::Fd> opened = safefile_OpenRegular(from, &was);
  if (!opened) return opened.error().code() == ENOENT ? kv::Error(ENOENT, "is gone") : kNotPlain;
  const int fd = opened.value().get();
  if (!take_IsPlainFile(was)) return kNotPlain;
  if (!safefile_IsDense(fd, was)) return kv::Error(0, "is sparse: it holds fewer bytes than its size");

  // A file held open now is left as it is: nothing of it is changed.
  if (checkHeld && take_HeldByOthers(fd) == 1) return kHeld;
  // From here on nobody but the daemon may open it for writing.
  if (::fchown(fd, ::geteuid(), ::getegid()) != 0 || ::fchmod(fd, 0644) != 0) {
    return kv::SystemError("cannot be given to the daemon's user");
  }
  struct stat st {};
  // Its owner could have linked it somewhere else until the line above.
  if (::fstat(fd, &st) != 0 || !take_IsPlainFile(st)) {
    GiveBack(fd, was);
    return kNotPlain;
  }
  // Whatever was opened before the change of owner (a descriptor kept, one in
  // flight through a socket, a mapping) still writes: none may exist. Asked
  // again now, since one may have been opened since the question above.
  bool copy = false;
  if (checkHeld) {
    const int held = take_HeldByOthers(fd);
    if (held == 1) {
      GiveBack(fd, was);
      return kHeld;
    }
    copy = held < 0;  // no lease on this file system: only a private copy is safe
  }
  // Looked at again now that no writer can extend it with holes any more.
  if (!safefile_IsDense(fd, st)) {
    GiveBack(fd, was);
    return kv::Error(0, "is sparse: it holds fewer bytes than its size");
  }
  // Nor make it any longer: its size now is the size that is taken.
  if (maxBytes >= 0 && st.st_size > maxBytes) {
    GiveBack(fd, was);
    return kv::Error(EFBIG, "is larger than " + std::to_string(static_cast<long long>(maxBytes)) + " bytes");
  }

  const std::string temp = TempBeside(to);
  // On failure from here on the drop stays where it was, as it was.
  const auto fail = [&](kv::Error error) -> kv::Status {
    (void)::unlink(temp.c_str());
    GiveBack(fd, was);
    return error;
  };
  // The bytes are flushed before any name of the daemon's publishes them:
  // the uploader may never have flushed them, and after a power cut the
  // taken file must hold what was checked, not a part of it.
  if (!copy && ::fsync(fd) != 0) return fail(kv::SystemError("cannot be flushed"));
  if (!copy && LinkOpenFile(fd, temp) != 0) {
    if (errno != EXDEV) return fail(kv::SystemError("cannot be moved"));
    copy = true;  // another file system: the daemon's own copy of the bytes
  }
  if (copy) {
    if (kv::Status copied = CopyOpenFile(fd, st.st_size, temp); !copied) return fail(copied.error());
  }
  if (::rename(temp.c_str(), to.c_str()) != 0) return fail(kv::SystemError("cannot be moved"));
  // The taken name is durable before the drop's name goes, and the drop's
  // removal before the caller's next step: a power cut leaves the file under
  // one of the two names, never under neither.
  (void)safefile_FlushFolder(FolderOf(to));
  // The drop's name goes, unless someone put another entry there meanwhile.
  struct stat now {};
  if (::lstat(from.c_str(), &now) == 0 && SameFile(now, st) && ::unlink(from.c_str()) == 0) {
    (void)safefile_FlushFolder(FolderOf(from));
  }
  return kv::Ok();
}
