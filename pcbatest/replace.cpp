#include "replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>   // rename
#include <cstdlib>  // mkostemp
#include <cstring>

FileReplacement::~FileReplacement() {
  // Still open means Commit did not rename it: the target is as it was.
  if (file_.Valid()) (void)::unlink(temporary_.data());  // nothing more to do when this fails too
}

bool FileReplacement::Begin(std::string_view target, TemporaryName name) noexcept {
  const std::string_view suffix = name == TemporaryName::kUnique ? ".XXXXXX" : ".new";
  if (target.size() + suffix.size() >= temporary_.size()) return false;
  target_ = target;
  std::memcpy(temporary_.data(), target.data(), target.size());
  std::memcpy(temporary_.data() + target.size(), suffix.data(), suffix.size() + 1);  // with its terminator
  if (name == TemporaryName::kUnique) {
    file_ = DeviceFd(::mkostemp(temporary_.data(), O_CLOEXEC));
  } else {
    (void)::unlink(temporary_.data());  // missing, as a rule
    file_ = DeviceFd(::open(temporary_.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  }
  return file_.Valid();
}

bool FileReplacement::Write(const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = ::write(file_.Get(), bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool FileReplacement::KeepAttributes(const struct stat& like, bool withOwner) noexcept {
  return ::fchmod(file_.Get(), like.st_mode & 07777) == 0 &&
         (!withOwner || ::fchown(file_.Get(), like.st_uid, like.st_gid) == 0);
}

ReplaceResult FileReplacement::Commit() noexcept {
  if (::fsync(file_.Get()) != 0 || ::rename(temporary_.data(), target_.data()) != 0) {
    return ReplaceResult::kFailed;  // the destructor removes the temporary file
  }
  file_ = DeviceFd();
  // The temporary name is gone; its buffer, which starts with the target's
  // name, now names the folder ("." for a bare name).
  const std::size_t slash = target_.rfind('/');
  if (slash == std::string_view::npos) {
    temporary_[0] = '.';
    temporary_[1] = '\0';
  } else {
    temporary_[slash == 0 ? 1 : slash] = '\0';
  }
  return replace_SyncFolder(temporary_.data()) ? ReplaceResult::kReplaced : ReplaceResult::kFolderNotFlushed;
}

bool replace_SyncFolder(const char* folder) {
  const DeviceFd fd = pcba_OpenDevice(folder, O_RDONLY | O_DIRECTORY);
  return fd.Valid() && ::fsync(fd.Get()) == 0;
}
