// RAII wrappers for the C handles the daemon uses. Every C resource is held by
// one of these so that no path through a function can leak it.
#pragma once

#include <dirent.h>
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
