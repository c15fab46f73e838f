// Test helpers that observe what the daemon's code writes to the system log
// and to standard output.
#pragma once

#include <string>
#include <vector>

namespace kvtest {

// One datagram the system log socket received.
struct SyslogLine {
  int priority = -1;  // syslog priority (facility bits removed)
  int facility = -1;  // facility number (8 = user)
  std::string ident;  // text before ": "
  std::string text;   // message text
};

// Serves /dev/log for the lifetime of the object. Only usable inside the
// private /dev of tests/harness/private-dev (KV_PRIVATE_DEV=1); available()
// is false elsewhere, and the test should skip.
class SyslogCapture {
 public:
  SyslogCapture();
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  [[nodiscard]] bool available() const { return fd_ >= 0; }
  // Returns every datagram received so far (waiting briefly for stragglers).
  std::vector<SyslogLine> Drain();

 private:
  int fd_ = -1;
};

// Redirects standard output into a temporary file until Stop().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Restores standard output and returns what was written.
  std::string Stop();

 private:
  int saved_ = -1;
  int file_ = -1;
};

// A fresh temporary folder, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Small file helpers.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

}  // namespace kvtest
