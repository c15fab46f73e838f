#include "core/safefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "core/log.h"

namespace {

constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

kv::Error OpenError(int code) {
  if (code == ENOENT) return kv::Error(code, "is missing");
  // O_NOFOLLOW refuses a symbolic link with ELOOP; a folder cannot be opened
  // for writing (EISDIR), nor a FIFO without a reader or a socket (ENXIO).
  if (code == ELOOP || code == EISDIR || code == ENXIO) return kv::Error(code, "is not a regular file");
  return kv::SystemError("cannot be opened", code);
}

}  // namespace

kv::Result<kv::Fd> safefile_OpenRegular(const std::string& path, struct stat* st) {
  kv::Fd fd(::open(path.c_str(), O_RDONLY | kOpenFlags));
  if (!fd) return OpenError(errno);
  struct stat own {};
  if (::fstat(fd.get(), &own) != 0) return kv::SystemError("cannot be looked at");
  if (!S_ISREG(own.st_mode)) return kv::Error(0, "is not a regular file");
  if (st != nullptr) *st = own;
  return fd;
}

kv::Result<std::string> safefile_Read(const std::string& path, std::size_t maxBytes) {
  struct stat st {};
  kv::Result<kv::Fd> fd = safefile_OpenRegular(path, &st);
  if (!fd) return fd.error();
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    return kv::Error(EFBIG, "is larger than " + std::to_string(maxBytes) + " bytes");
  }
  // The size may change while it is read: the cap holds whatever it becomes.
  std::string text(maxBytes + 1 > 4096 ? 4096 : maxBytes + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      if (text.size() > maxBytes) break;
      text.resize(std::min(text.size() * 2, maxBytes + 1));
    }
    const ssize_t n = ::read(fd.value().get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("cannot be read");
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > maxBytes) return kv::Error(EFBIG, "is larger than " + std::to_string(maxBytes) + " bytes");
  text.resize(got);
  return text;
}

kv::Result<kv::Fd> safefile_OpenAppend(const std::string& path, mode_t mode) {
  kv::Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | kOpenFlags, mode));
  if (!fd) return OpenError(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return kv::SystemError("cannot be looked at");
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return kv::Error(0, "is not a regular file with a single link");
  return fd;
}

bool safefile_IsDense(int fd, const struct stat& st) {
  if (st.st_size == 0) return true;
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
  if (at >= 0) (void)::lseek(fd, at, SEEK_SET);
  // Every file ends in an implicit hole at its size; one before it is real.
  return hole < 0 || hole >= st.st_size;
}

bool safefile_IsMissing(const kv::Error& error) { return error.code() == ENOENT; }

namespace {

// The last refusal logged for each path. The daemon reads a fixed set of
// names, so the table stays small; it is emptied should it ever grow.
constexpr std::size_t kRefusalMemo = 64;
std::mutex gRefusalLock;
std::map<std::string, std::string> gRefusals;

std::string RefusalKey(const std::string& path, const kv::Error& error) {
  struct stat st {};
  std::string key = error.message();
  if (::lstat(path.c_str(), &st) == 0) {
    for (const long long part :
         {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino), static_cast<long long>(st.st_mode),
          static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
          static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
          static_cast<long long>(st.st_ctim.tv_nsec)}) {
      key += ' ';
      key += std::to_string(part);
    }
  }
  return key;
}

}  // namespace

bool safefile_LogRefusal(std::string_view who, const std::string& path, const kv::Error& error) {
  std::string key = RefusalKey(path, error);
  {
    std::lock_guard<std::mutex> guard(gRefusalLock);
    auto found = gRefusals.find(path);
    if (found != gRefusals.end() && found->second == key) return false;
    if (found == gRefusals.end() && gRefusals.size() >= kRefusalMemo) gRefusals.clear();
    gRefusals[path] = std::move(key);
  }
  const std::string whoText(who);
  log_PrintPriority(kPriorityError, 1, "%s, %s %s\n", whoText.c_str(), path.c_str(), error.message().c_str());
  return true;
}

kv::Status safefile_FlushFolder(const std::string& folder) {
  kv::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return kv::SystemError("open folder " + folder);
  if (::fsync(dir.get()) != 0) return kv::SystemError("fsync folder " + folder);
  return kv::Ok();
}
