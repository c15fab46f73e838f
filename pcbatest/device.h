// Small helpers for the device files the main-card tests use.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "frame.h"

// A move-only file descriptor, closed when it goes out of scope.
class DeviceFd {
 public:
  DeviceFd() noexcept = default;
  explicit DeviceFd(int fd) noexcept : fd_(fd) {}
  DeviceFd(const DeviceFd&) = delete;
  DeviceFd& operator=(const DeviceFd&) = delete;
  DeviceFd(DeviceFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DeviceFd& operator=(DeviceFd&& other) noexcept;
  ~DeviceFd();

  [[nodiscard]] int Get() const noexcept { return fd_; }
  [[nodiscard]] bool Valid() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens a device or attribute file with close-on-exec (the steps start shell
// commands, which must not inherit it).
DeviceFd pcba_OpenDevice(const char* path, int flags);

// Opens a sysfs attribute read-write, writes the bytes (no line end) and
// closes it. Returns the write's byte count, or kStepIoFailure when the file
// cannot be opened or the value is refused.
StepResult pcba_WriteAttribute(const char* path, std::string_view bytes);

// Waits the given number of milliseconds (nothing for 0 or less), resuming
// after signals.
void pcba_SleepMs(long milliseconds);

// Appends bytes as text: up to the first zero byte, never past the end,
// control bytes shown as '?' (arg_Echo).
void pcba_AppendText(ResponseLine& line, const unsigned char* bytes, std::size_t size);
