// RAII wrappers for the C handles the daemon and the host tools use. Every C
// resource is held by one of these so that no path through a function can
// leak it; each kind is defined here once, beside its type.
#pragma once

#include <archive.h>
#include <cjson/cJSON.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <iniparser.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace kv {

// The deleter of a C resource: calls its release function.
template <auto Release>
struct Releaser {
  template <typename T>
  void operator()(T* p) const noexcept {
    (void)Release(p);
  }
};
// A C resource of type T owned by one object and released by Release.
template <typename T, auto Release>
using CHandle = std::unique_ptr<T, Releaser<Release>>;

using File = CHandle<FILE, &::fclose>;
// A pipe to or from a command started with popen; closing waits for the command.
using Pipe = CHandle<FILE, &::pclose>;
using Dir = CHandle<DIR, &::closedir>;
// Memory from malloc-style C interfaces (scandir lists, strdup, cJSON_Print).
template <typename T>
using CMemory = std::unique_ptr<T, Releaser<&::free>>;
// A parsed or built cJSON tree; deleting the root deletes every item.
using Json = CHandle<cJSON, &::cJSON_Delete>;
// The interface address list of getifaddrs.
using IfAddrs = CHandle<ifaddrs, &::freeifaddrs>;
// An iniparser dictionary.
using Dictionary = CHandle<dictionary, &::iniparser_freedict>;
using CipherCtx = CHandle<EVP_CIPHER_CTX, &::EVP_CIPHER_CTX_free>;
using MdCtx = CHandle<EVP_MD_CTX, &::EVP_MD_CTX_free>;
using Pkey = CHandle<EVP_PKEY, &::EVP_PKEY_free>;
// Frees a whole BIO chain.
using Bio = CHandle<BIO, &::BIO_free_all>;
// A libarchive reader; freeing it closes what it reads.
using ArchiveReader = CHandle<archive, &::archive_read_free>;

// Drops whatever a failed OpenSSL call left on the thread's error queue, so
// that one failure does not leak into the next check.
inline void ClearSslErrors() { ERR_clear_error(); }

// Opens a file with close-on-exec set, because the daemon starts shell commands
// all the time and must not hand its descriptors to them. Mode is an fopen mode
// without the 'e' flag.
File OpenFile(const char* path, const char* mode);

// A move-only file descriptor (sockets, device nodes).
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kv
