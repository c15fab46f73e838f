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
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

bool OutputFile::Open(const std::string& path, std::string* error) {
  Discard();
  path_ = path;
  std::string pattern = path + ".kvpack-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  temp_ = pattern;
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    ::close(fd);
    *error = "cannot write " + path + ": " + std::strerror(errno);
    Discard();
    return false;
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (file_ == nullptr) {
    *error = "internal error: output not open";
    return false;
  }
  const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0 && ::fsync(::fileno(file_)) == 0;
  const int savedErrno = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!flushed || !closed) {
    *error = "cannot write " + path_ + ": " + std::strerror(flushed ? errno : savedErrno);
    Discard();
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(temp_.c_str(), 0644 & ~mask);
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    *error = "cannot create " + path_ + ": " + std::strerror(errno);
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  kv::File in = kv::OpenFile(path.c_str(), "rb");
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(::fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    return false;
  }
  data->clear();
  char chunk[16384];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get());
    if (got == 0) break;
    data->append(chunk, got);
  }
  if (std::ferror(in.get()) != 0) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
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

bool ReadKeyFile(const std::string& path, CryKey* key, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  bool haveKey = false;
  bool haveIv = false;
  std::string_view rest = text;
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
    if (name == "key" && ParseHex(value, key->key, kCryKeySize)) {
      haveKey = true;
    } else if (name == "iv" && ParseHex(value, key->iv, kCryIvSize)) {
      haveIv = true;
    } else {
      *error = path + ":" + std::to_string(lineNumber) + ": expected key=<64 hex digits> or iv=<32 hex digits>";
      return false;
    }
  }
  if (!haveKey || !haveIv) {
    *error = path + ": needs both a key= and an iv= line";
    return false;
  }
  return true;
}

int PlatformImageType(const std::string& platform) {
  if (platform == "KV2_TOUCH" || platform == "kv2-touch") return 1;
  if (platform == "KORVEL_R" || platform == "korvel-r") return 2;
  if (platform == "KV_SR" || platform == "korvel-sr") return 3;
  return 0;
}

}  // namespace kvpack
