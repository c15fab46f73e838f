#include "etcfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "replace.h"

namespace {

// What was written, to compare with what is read back: byte count and an
// FNV-1a hash, so a file of any length is checked without holding it.
struct Digest {
  std::uint64_t hash = 14695981039346656037ULL;
  std::uint64_t size = 0;

  void Add(const char* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    }
    size += count;
  }
  bool operator==(const Digest&) const = default;
};

// Writes to the new file and adds the bytes to what is compared later.
bool WriteAll(FileReplacement& out, const char* data, std::size_t count, Digest& digest) {
  digest.Add(data, count);
  return out.Write(data, count);
}

// Copies the old file into the new one with every from replaced by to. A
// tail shorter than from stays in the buffer until the next read shows
// whether it starts an occurrence.
bool CopyReplacing(int in, FileReplacement& out, std::string_view from, std::string_view to, Digest& digest) {
  constexpr std::size_t kChunk = 4096;
  std::array<char, kChunk + 64> buf{};
  std::size_t kept = 0;
  for (;;) {
    const ssize_t got = ::read(in, buf.data() + kept, kChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    const std::size_t size = kept + static_cast<std::size_t>(got);
    std::size_t done = 0;
    std::size_t at = 0;
    for (; at + from.size() <= size; ++at) {
      if (std::memcmp(buf.data() + at, from.data(), from.size()) != 0) continue;
      if (!WriteAll(out, buf.data() + done, at - done, digest) || !WriteAll(out, to.data(), to.size(), digest)) {
        return false;
      }
      at += from.size() - 1;
      done = at + 1;
    }
    if (got == 0) return WriteAll(out, buf.data() + done, size - done, digest);
    at = std::max(at, done);
    if (!WriteAll(out, buf.data() + done, at - done, digest)) return false;
    kept = size - at;
    std::memmove(buf.data(), buf.data() + at, kept);
  }
}

// Opens a file for reading: never through a link, never blocking, and only a
// regular file. Invalid when it cannot be opened or is something else.
DeviceFd OpenRegular(const char* path) {
  DeviceFd fd = pcba_OpenDevice(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  struct stat info {};
  if (fd.Valid() && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) {
    errno = EINVAL;
    return {};
  }
  return fd;
}

bool SameContent(const char* path, const Digest& written) {
  const DeviceFd fd = OpenRegular(path);
  if (!fd.Valid()) return false;
  Digest read;
  std::array<char, 4096> buf{};
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buf.data(), buf.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return read == written;
    read.Add(buf.data(), static_cast<std::size_t>(got));
  }
}

bool Replace(const char* path, std::string_view text, std::string_view from, std::string_view to) {
  // A host name kept on another file system through a link is replaced
  // there, and the link stays.
  std::array<char, PATH_MAX> resolved{};
  PathText real;
  real.Append(::realpath(path, resolved.data()) != nullptr ? resolved.data() : path);
  if (!real.Complete()) return false;

  const DeviceFd old = OpenRegular(real.CStr());
  if (!old.Valid() && errno != ENOENT) return false;
  if (!old.Valid() && !from.empty()) return true;
  struct stat info {};
  info.st_mode = 0644;
  if (old.Valid() && ::fstat(old.Get(), &info) != 0) return false;

  Digest written;
  FileReplacement out;
  // Private until its mode is set and its content complete.
  if (!out.Begin(real.View(), TemporaryName::kFixed)) return false;
  const bool ok = (from.empty() ? WriteAll(out, text.data(), text.size(), written)
                                : CopyReplacing(old.Get(), out, from, to, written)) &&
                  out.KeepAttributes(info, old.Valid());
  return ok && out.Commit() == ReplaceResult::kReplaced && SameContent(real.CStr(), written);
}

}  // namespace

bool etc_WriteFile(const char* path, std::string_view text) { return Replace(path, text, {}, {}); }

bool etc_ReplaceInFile(const char* path, std::string_view from, std::string_view to) {
  return !from.empty() && from.size() < 64 && Replace(path, {}, from, to);
}
