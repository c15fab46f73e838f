#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/bounded.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/statefile.h"

namespace {

constexpr std::size_t kLineSize = 2000;
// Console fallback, open at once, do not wait for children.
constexpr int kSyslogOptions = LOG_CONS | LOG_NDELAY | LOG_NOWAIT;
static_assert(kSyslogOptions == 26);
static_assert(LOG_USER == 8);

std::atomic<int> gVerbose{1};
std::atomic<int> gStdout{0};
// Priority stored by log_SetPriority for this thread's next log_Print.
thread_local int tPendingPriority = kPriorityNotice;
std::atomic<int> gSystemLog{1};
char gIdent[100] = "";
// One emitted line at a time: the open/send/close of the system log and the
// echo on standard output are not interleaved between threads.
std::mutex gEmitMutex;

__attribute__((format(printf, 1, 0))) void EchoLine(const char* format, va_list args, int formattedLength,
                                                    const char* line) {
  if (formattedLength < 0) return;
  if (static_cast<std::size_t>(formattedLength) < kLineSize) {
    std::fputs(line, stdout);
  } else {
    std::vector<char> whole(static_cast<std::size_t>(formattedLength) + 1);
    std::vsnprintf(whole.data(), whole.size(), format, args);
    std::fputs(whole.data(), stdout);
  }
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

__attribute__((format(printf, 3, 0))) int PrintV(int priority, int level, const char* format, va_list args) {
  if (level > gVerbose.load() && level != 0) return 0;

  std::array<char, kLineSize> line{};
  va_list echoArgs;
  va_copy(echoArgs, args);
  const int length = std::vsnprintf(line.data(), line.size(), format, args);
  {
    std::lock_guard<std::mutex> lock(gEmitMutex);
    if (gStdout.load() != 0) EchoLine(format, echoArgs, length, line.data());
    if (gSystemLog.load() != 0) {
      openlog(gIdent, kSyslogOptions, LOG_USER);
      syslog(priority, "%s", line.data());
      closelog();
    }
  }
  va_end(echoArgs);
  return length < 0 ? 0 : length;
}

}  // namespace

int log_PrintPriority(int priority, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = PrintV(priority, level, format, args);
  va_end(args);
  return length;
}

int log_Print(int level, const char* format, ...) {
  // The stored priority is used up here, also by a line the level filter
  // drops, so that it can never land on a later, unrelated line.
  const int priority = std::exchange(tPendingPriority, kPriorityNotice);
  va_list args;
  va_start(args, format);
  const int length = PrintV(priority, level, format, args);
  va_end(args);
  return length;
}

int log_SetPriority(int priority) {
  tPendingPriority = priority;
  return priority;
}

void log_SetVerbose(int level) {
  gVerbose.store(level);
  std::printf("Verbose output level %d\n", level);
  std::fflush(stdout);
}

void log_SetStdout(int on) {
  gStdout.store(on);
  std::printf("Log output to stdout %d\n", on);
  std::fflush(stdout);
}

void log_SetIdent(const char* ident) { kv::CopyBounded(gIdent, ident != nullptr ? ident : ""); }

void log_SetSystemLog(int on) { gSystemLog.store(on); }

int log_GetVerbose() { return gVerbose.load(); }
int log_GetPendingPriority() { return tPendingPriority; }

namespace {

constexpr long kUpdateLogLimit = 199999;

const char* UpdateLogTag(unsigned kind) {
  switch (kind) {
    case kUpdateLogKvUpdater: return "KVUPDATER";
    case kUpdateLogBundle: return "BUNDLE";
    case kUpdateLogImage: return "IMAGE";
    case kUpdateLogIpk: return "IPK";
    default: return nullptr;
  }
}

}  // namespace

void UpdateLog(unsigned kind, const char* text) {
  // A kind without a tag returns before the file is opened, so that it can
  // neither create the log nor discard a full one without writing a line.
  const char* tag = UpdateLogTag(kind);
  if (tag == nullptr) return;

  const std::time_t now = std::time(nullptr);
  struct tm local {};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return;
  // The time stamp buffer is 32 characters, as on the device; a year beyond
  // four digits would be cut, never overrun.
  char stamp[32];
  const int stampLength = std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                                        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (stampLength < 0) stamp[0] = '\0';
  char tagged[16];
  std::snprintf(tagged, sizeof tagged, "%10s", tag);
  const std::string line = std::string(stamp) + " " + tagged + ": " + (text != nullptr ? text : "") + "\n";

  const std::string path = paths_Device(devpath::kUpdateLog);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size > kUpdateLogLimit) {
    // A new or restarted log replaces the old one whole: a kill or a power
    // cut leaves the old log or the new line, never an emptied file.
    if (kv::Status written = statefile_Write(path, line); !written) {
      log_Print(3, "UpdateLog - %s\n", written.error().message().c_str());
    }
    return;
  }
  kv::Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!fd) return;
  // One write appends the whole line; it is on the storage before the step
  // it records goes on.
  if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    log_Print(0, "UpdateLog - Unable to write data to file %s", path.c_str());
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    log_Print(0, "UpdateLog - Unable to close and save %s properly", path.c_str());
  }
}
