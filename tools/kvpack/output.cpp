#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/handles.h"
#include "kvpack/kvpack.h"

namespace kvpack {

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  file_.reset();
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

kv::Status OutputFile::Open(const std::string& path) {
  Discard();
  path_ = path;
  // The temporary file lies in the output's folder under a name of its own
  // length: a name derived from the output's would be longer than the
  // output's, and an output name near the file system's 255 bytes (a
  // signature of a long package name) could then not be made at all.
  const std::size_t slash = path.rfind('/');
  std::string pattern = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".kvpack-XXXXXX";
  kv::Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return kv::SystemError("cannot create " + path);
  temp_ = pattern;
  file_.reset(::fdopen(fd.get(), "wb"));
  if (!file_) {
    const kv::Error error = kv::SystemError("cannot write " + path);
    fd.reset();
    Discard();
    return error;
  }
  (void)fd.release();  // the stream owns the descriptor now
  return kv::Ok();
}

kv::Status OutputFile::Commit(bool replace) {
  if (!file_) return kv::Error(0, "internal error: output not open");
  std::FILE* file = file_.release();
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0 && ::fsync(::fileno(file)) == 0;
  const int savedErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!flushed || !closed) {
    const kv::Error error = kv::SystemError("cannot write " + path_, flushed ? errno : savedErrno);
    Discard();
    return error;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(temp_.c_str(), 0644 & ~mask);
  // Without replace, the kernel refuses an existing destination in the same
  // step that publishes the file, so no file appearing meanwhile is lost.
  const int renamed = replace ? ::rename(temp_.c_str(), path_.c_str())
                              : ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
  if (renamed != 0) {
    const kv::Error error = !replace && errno == EEXIST ? kv::Error(0, path_ + " exists; give --force to replace it")
                                                        : kv::SystemError("cannot create " + path_);
    Discard();
    return error;
  }
  temp_.clear();
  return kv::Ok();
}

kv::Result<std::string> ReadWholeFile(const std::string& path) {
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  if (!in) return kv::SystemError("cannot open " + path);
  struct stat st {};
  if (::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode))
    return kv::Error(0, path + " is not a regular file");
  std::string data;
  char chunk[16384];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get());
    if (got == 0) break;
    data.append(chunk, got);
  }
  if (std::ferror(in.get()) != 0) return kv::Error(0, "cannot read " + path);
  return data;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

kv::Error ArchiveError(archive* a, const std::string& what) {
  const char* text = archive_error_string(a);
  return kv::Error(0, what + (text != nullptr ? std::string(": ") + text : std::string()));
}

la_ssize_t WriteToFile(archive* /*a*/, void* file, const void* buffer, size_t n) {
  const std::size_t written = std::fwrite(buffer, 1, n, static_cast<std::FILE*>(file));
  return written == n ? static_cast<la_ssize_t>(n) : -1;
}

CryKey BuiltInKey() {
  CryKey k;
  std::memcpy(k.key, crykey_Assemble(), kCryKeySize);
  std::memcpy(k.iv, crykey_GetIv(), kCryIvSize);
  return k;
}

namespace {

bool ParseHex(std::string_view hex, unsigned char* out, std::size_t size) {
  if (hex.size() != size * 2) return false;
  for (std::size_t i = 0; i < size; ++i) {
    unsigned value = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const char c = hex[i * 2 + j];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    out[i] = static_cast<unsigned char>(value);
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

kv::Result<CryKey> ReadKeyFile(const std::string& path) {
  const auto text = ReadWholeFile(path);
  if (!text) return text.error();
  CryKey key;
  bool haveKey = false;
  bool haveIv = false;
  std::string_view rest = text.value();
  int lineNumber = 0;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
    ++lineNumber;
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    const std::string_view name = eq == std::string_view::npos ? line : Trim(line.substr(0, eq));
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : Trim(line.substr(eq + 1));
    if (name == "key" && ParseHex(value, key.key, kCryKeySize)) {
      haveKey = true;
    } else if (name == "iv" && ParseHex(value, key.iv, kCryIvSize)) {
      haveIv = true;
    } else {
      return kv::Error(
          0, path + ":" + std::to_string(lineNumber) + ": expected key=<64 hex digits> or iv=<32 hex digits>");
    }
  }
  if (!haveKey || !haveIv) return kv::Error(0, path + ": needs both a key= and an iv= line");
  return key;
}

int PlatformImageType(const std::string& platform) {
  for (int i = 0; i < 3; ++i) {
    if (platform == kPlatformIds[i] || platform == kPlatformNames[i]) return i + 1;
  }
  return 0;
}

std::string PlatformId(const std::string& platform) {
  const int type = PlatformImageType(platform);
  return type == 0 ? std::string() : kPlatformIds[type - 1];
}

std::string PlatformName(const std::string& platform) {
  const int type = PlatformImageType(platform);
  return type == 0 ? std::string() : kPlatformNames[type - 1];
}

}  // namespace kvpack
