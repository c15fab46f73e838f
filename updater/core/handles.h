// RAII wrappers for the C handles the daemon and the host tools use. Every C
// resource is held by one of these so that no path through a function can
// leak it; each kind is defined here once, beside its type.
#pragma once

#include <cjson/cJSON.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <iniparser.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace kv {

struct FileCloser {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct PipeCloser {
  void operator()(FILE* f) const noexcept { ::pclose(f); }
};
// A pipe to or from a command started with popen; closing waits for the command.
using Pipe = std::unique_ptr<FILE, PipeCloser>;

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
// Memory from malloc-style C interfaces (scandir lists, strdup, cJSON_Print).
template <typename T>
using CMemory = std::unique_ptr<T, FreeDeleter>;

struct JsonDeleter {
  void operator()(cJSON* j) const noexcept { cJSON_Delete(j); }
};
// A parsed or built cJSON tree; deleting the root deletes every item.
using Json = std::unique_ptr<cJSON, JsonDeleter>;

struct IfAddrsDeleter {
  void operator()(ifaddrs* list) const noexcept { ::freeifaddrs(list); }
};
// The interface address list of getifaddrs.
using IfAddrs = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

struct DictionaryDeleter {
  void operator()(dictionary* d) const noexcept { ::iniparser_freedict(d); }
};
// An iniparser dictionary.
using Dictionary = std::unique_ptr<dictionary, DictionaryDeleter>;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Frees a whole BIO chain.
struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free_all(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

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
