#include "device.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "args.h"

DeviceFd& DeviceFd::operator=(DeviceFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DeviceFd::~DeviceFd() {
  if (fd_ >= 0) ::close(fd_);
}

DeviceFd pcba_OpenDevice(const char* path, int flags) { return DeviceFd(::open(path, flags | O_CLOEXEC)); }

StepResult pcba_WriteAttribute(const char* path, std::string_view bytes) {
  const DeviceFd fd = pcba_OpenDevice(path, O_RDWR);
  if (!fd.Valid()) return kStepIoFailure;
  const ssize_t written = ::write(fd.Get(), bytes.data(), bytes.size());
  if (written < 0) return kStepIoFailure;
  return static_cast<StepResult>(written);
}

void pcba_SleepMs(long milliseconds) {
  if (milliseconds <= 0) return;
  timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void pcba_AppendText(ResponseLine& line, const unsigned char* bytes, std::size_t size) {
  const void* zero = std::memchr(bytes, 0, size);
  const std::size_t n =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - bytes) : size;
  arg_Echo(line, std::string_view(reinterpret_cast<const char*>(bytes), n));
}
