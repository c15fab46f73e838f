#include "device.h"

#include <fcntl.h>
#include <unistd.h>

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
