#include "intake/unpack.h"

#include <archive_entry.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/handles.h"
#include "intake/take.h"

namespace {

la_ssize_t SourceRead(archive* a, void* data, const void** block) {
  auto* source = static_cast<UnpackSource*>(data);
  *block = source->buffer.data();
  const std::uint64_t want = std::min<std::uint64_t>({source->buffer.size(), source->left, source->readLeft});
  if (want == 0) return 0;
  ssize_t n;
  do {
    n = ::read(source->fd, source->buffer.data(), static_cast<std::size_t>(want));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    archive_set_error(a, errno, "read failed");
    return ARCHIVE_FATAL;
  }
  source->left -= static_cast<std::uint64_t>(n);
  source->readLeft -= static_cast<std::uint64_t>(n);
  return n;
}

la_int64_t SourceSkip(archive* /*a*/, void* data, la_int64_t request) {
  auto* source = static_cast<UnpackSource*>(data);
  const auto n = static_cast<la_int64_t>(std::min<std::uint64_t>(request > 0 ? request : 0, source->left));
  // 0 tells libarchive to read instead, within the budget.
  if (n == 0 || ::lseek(source->fd, static_cast<off_t>(n), SEEK_CUR) < 0) return 0;
  source->left -= static_cast<std::uint64_t>(n);
  return n;
}

// A member name without its leading "./" (as tar and opkg-build write them).
std::string PlainName(const char* path) {
  std::string name = path != nullptr ? path : "";
  while (name.rfind("./", 0) == 0) name.erase(0, 2);
  return name;
}

kv::Status WriteAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, data, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return kv::SystemError("cannot be written");
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return kv::Ok();
}

// Writes the current member of a, which claims size bytes, to path.
kv::Result<void, UnpackRefusal> WriteMember(archive* a, const std::string& path, std::uint64_t size) {
  // The staging folder is private: what stands at the name is an earlier
  // member of the same name, which the later one replaces.
  (void)::unlink(path.c_str());
  kv::Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return UnpackRefusal::kCannotWrite;
  std::array<char, 64 * 1024> chunk;
  std::uint64_t got = 0;
  for (;;) {
    const la_ssize_t n = archive_read_data(a, chunk.data(), chunk.size());
    if (n < 0) return UnpackRefusal::kDamaged;
    if (n == 0) return {};
    got += static_cast<std::uint64_t>(n);
    if (got > size) return UnpackRefusal::kOverCap;
    if (!WriteAll(out.get(), chunk.data(), static_cast<std::size_t>(n))) return UnpackRefusal::kCannotWrite;
  }
}

}  // namespace

kv::Result<std::string> unpack_MakeStaging(const std::string& folder) {
  std::string path = folder + std::string(kStagingPrefix) + "XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) return kv::SystemError("mkdtemp").WithContext(folder);
  return path + "/";
}

bool unpack_OpenSource(archive* a, UnpackSource& source) {
  return archive_read_open2(a, &source, nullptr, SourceRead, SourceSkip, nullptr) == ARCHIVE_OK;
}

kv::Result<std::string, UnpackRefusal> unpack_ReadData(archive* a, std::size_t cap) {
  std::string data;
  std::array<char, 16 * 1024> chunk;
  for (;;) {
    const la_ssize_t n = archive_read_data(a, chunk.data(), chunk.size());
    if (n < 0) return UnpackRefusal::kDamaged;
    if (n == 0) return data;
    if (static_cast<std::size_t>(n) > cap - data.size()) return UnpackRefusal::kOverCap;
    data.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

kv::Result<std::vector<std::string>, UnpackRefusal> unpack_Members(archive* a, const std::string& staging,
                                                                   bool (*admit)(const std::string& name),
                                                                   const UnpackLimits& limits) {
  std::vector<std::string> written;
  std::uint64_t claimed = 0;
  archive_entry* entry = nullptr;
  for (;;) {
    const int r = archive_read_next_header(a, &entry);
    if (r == ARCHIVE_EOF) return written;
    // A warning still delivers a whole header (an attribute it passed over).
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return UnpackRefusal::kDamaged;
    const bool hardLink = archive_entry_hardlink(entry) != nullptr;
    const auto type = archive_entry_filetype(entry);
    if (!hardLink && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return UnpackRefusal::kSpecialMember;
    const la_int64_t size = archive_entry_size(entry);
    if (size < 0) return UnpackRefusal::kDamaged;
    const auto usize = static_cast<std::uint64_t>(size);
    if (usize > limits.totalMax - claimed) return UnpackRefusal::kOverTotal;
    claimed += usize;
    const std::string name = PlainName(archive_entry_pathname(entry));
    if (hardLink || type != AE_IFREG || name.empty() || !admit(name)) continue;  // its data is skipped
    if (name.size() > NAME_MAX) return UnpackRefusal::kCannotWrite;
    if (usize > limits.memberMax) return UnpackRefusal::kOverCap;
    const kv::Result<void, UnpackRefusal> put = WriteMember(a, staging + name, usize);
    if (!put) return put.error();
    if (std::find(written.begin(), written.end(), name) == written.end()) written.push_back(name);
  }
}

bool unpack_TakeMember(const std::string& staging, const std::string& folder, const std::string& name) {
  // Looked at before the move, so that what is left behind replaces nothing.
  struct stat st {};
  if (::lstat((staging + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  return static_cast<bool>(take_File(staging + name, folder + name, false));
}

void unpack_RemoveStaging(const std::string& staging) {
  std::error_code ec;
  // remove_all removes symbolic links themselves, never what they point at.
  std::filesystem::remove_all(staging, ec);
}

int unpack_RemoveLeftovers(const std::string& folder) {
  int removed = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind(kStagingPrefix, 0) != 0) continue;
    unpack_RemoveStaging(entry.path().string());
    ++removed;
  }
  return removed;
}
