#include "core/statefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/handles.h"

namespace {

const StateFileOps kRealOps = {::write, ::fsync, ::rename};
const StateFileOps* gOps = &kRealOps;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

kv::Status WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = gOps->write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return kv::SystemError("write");
    }
    if (n == 0) return kv::Error(EIO, "write: no progress");
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return kv::Ok();
}

kv::Status SyncFolder(const std::string& folder) {
  kv::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return kv::SystemError("open folder " + folder);
  if (gOps->fsync(dir.get()) != 0) return kv::SystemError("fsync folder " + folder);
  return kv::Ok();
}

}  // namespace

void statefile_SetOps(const StateFileOps* ops) { gOps = ops != nullptr ? ops : &kRealOps; }

namespace {

// Writes a fresh temporary file beside path with fill, then renames it over
// path and flushes the folder.
template <typename Fill>
kv::Status ReplaceWith(const std::string& path, mode_t mode, Fill fill) {
  const std::string folder = FolderOf(path);
  std::string temp = folder + "/" + std::string(kStateTempPrefix) + BaseOf(path) + "-XXXXXX";
  // mkostemp creates with O_CREAT|O_EXCL: an existing entry of that name,
  // a dangling link included, makes it pick another name, never follow it.
  kv::Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return kv::SystemError("create temporary file in " + folder).WithContext(path);

  kv::Status status = fill(fd.get());
  if (status && ::fchmod(fd.get(), mode) != 0) status = kv::SystemError("fchmod");
  if (status && gOps->fsync(fd.get()) != 0) status = kv::SystemError("fsync");
  if (status && ::close(fd.release()) != 0) status = kv::SystemError("close");
  if (status && gOps->rename(temp.c_str(), path.c_str()) != 0) status = kv::SystemError("rename");
  if (!status) {
    (void)::unlink(temp.c_str());
    return status.error().WithContext(path);
  }
  // The rename is durable only once the folder is flushed.
  if (kv::Status synced = SyncFolder(folder); !synced) return synced.error().WithContext(path);
  return kv::Ok();
}

}  // namespace

kv::Status statefile_Write(const std::string& path, std::string_view content, mode_t mode) {
  return ReplaceWith(path, mode, [content](int fd) { return WriteAll(fd, content); });
}

kv::Status statefile_LinkFrom(int fd, const std::string& path) {
  const std::string folder = FolderOf(path);
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  // A fresh name beside path: mkostemp finds one that is free, which is then
  // given up for the link; should another entry take it meanwhile, linkat
  // fails with EEXIST (it never follows what stands there) and a new name is
  // tried.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string temp = folder + "/" + std::string(kStateTempPrefix) + BaseOf(path) + "-XXXXXX";
    kv::Fd probe(::mkostemp(temp.data(), O_CLOEXEC));
    if (!probe) return kv::SystemError("create temporary name in " + folder).WithContext(path);
    probe.reset();
    (void)::unlink(temp.c_str());
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return kv::SystemError("link").WithContext(path);
    }
    if (gOps->rename(temp.c_str(), path.c_str()) != 0) {
      const kv::Error error = kv::SystemError("rename");
      (void)::unlink(temp.c_str());
      return error.WithContext(path);
    }
    if (kv::Status synced = SyncFolder(folder); !synced) return synced.error().WithContext(path);
    return kv::Ok();
  }
  return kv::Error(EEXIST, "link: no free temporary name").WithContext(path);
}

kv::Status statefile_CopyFrom(int from, const std::string& path, mode_t mode) {
  return ReplaceWith(path, mode, [from](int fd) -> kv::Status {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(from, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return kv::SystemError("read");
      }
      if (n == 0) return kv::Ok();
      if (kv::Status written = WriteAll(fd, std::string_view(buffer, static_cast<std::size_t>(n))); !written) {
        return written;
      }
    }
  });
}

bool statefile_IsOwnStat(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
}

bool statefile_IsOwn(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && statefile_IsOwnStat(st);
}

kv::Result<std::string> statefile_Read(const std::string& path, std::size_t maxBytes) {
  kv::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return kv::SystemError("open").WithContext(path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return kv::SystemError("fstat").WithContext(path);
  if (!statefile_IsOwnStat(st)) {
    return kv::Error(0, "not a regular file with a single link of the daemon's user").WithContext(path);
  }
  std::string text(maxBytes, '\0');
  std::size_t got = 0;
  while (got < maxBytes) {
    const ssize_t n = ::read(fd.get(), text.data() + got, maxBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("read").WithContext(path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

int statefile_RemoveLeftovers(const std::string& folder) {
  kv::Dir dir(::opendir(folder.c_str()));
  if (!dir) return 0;
  int removed = 0;
  while (const struct dirent* entry = ::readdir(dir.get())) {
    if (std::strncmp(entry->d_name, kStateTempPrefix.data(), kStateTempPrefix.size()) != 0) continue;
    if (::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0) ++removed;
  }
  return removed;
}

kv::Status statefile_Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return kv::Ok();
    return kv::SystemError("unlink").WithContext(path);
  }
  if (kv::Status synced = SyncFolder(FolderOf(path)); !synced) return synced.error().WithContext(path);
  return kv::Ok();
}

std::string statefile_Field(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') continue;
    line.remove_prefix(key.size() + 1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    return std::string(line);
  }
  return {};
}
