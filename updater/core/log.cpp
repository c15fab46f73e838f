#include "core/log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "core/bounded.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/printable.h"
#include "core/safefile.h"
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

// Appends the text of one conversion, formatted by the C library from the
// conversion as the caller wrote it (flags, width, precision and length), so
// the value is read and shown exactly as vsnprintf would.
template <typename T>
void AppendConversion(std::string& out, const std::string& spec, T value) {
  // spec is a single conversion cut out of the caller's format, whose
  // arguments the compiler checked against it (the format attribute of
  // log_Print and log_PrintPriority).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::array<char, 64> small{};
  const int n = std::snprintf(small.data(), small.size(), spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < small.size()) {
    out.append(small.data(), static_cast<std::size_t>(n));
  } else {
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    out.append(big.data(), static_cast<std::size_t>(n));
  }
#pragma GCC diagnostic pop
}

// One integer conversion, its argument read at the type its length modifier
// names (hh and h arrive promoted to Int; t is ptrdiff_t either way). next(T{})
// reads the next argument as a T: a va_list cannot be handed on portably.
template <typename Int, typename Long, typename LongLong, typename Max, typename Size, typename Next>
void AppendInteger(std::string& out, const std::string& spec, const std::string& length, Next next) {
  if (length == "l") {
    AppendConversion(out, spec, next(Long{}));
  } else if (length == "ll" || length == "q") {
    AppendConversion(out, spec, next(LongLong{}));
  } else if (length == "j") {
    AppendConversion(out, spec, next(Max{}));
  } else if (length == "z") {
    AppendConversion(out, spec, next(Size{}));
  } else if (length == "t") {
    AppendConversion(out, spec, next(ptrdiff_t{}));
  } else {
    AppendConversion(out, spec, next(Int{}));
  }
}

// Text the caller handed over whole (the format "%s" alone): the daemon's
// own ready-made messages, some laid out over several lines. Its line feeds
// stay; every other control byte shows as '?'.
std::string KeepLines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (;;) {
    const std::size_t newline = text.find('\n');
    out += kv::Printable(text.substr(0, newline), false);
    if (newline == std::string_view::npos) return out;
    out += '\n';
    text.remove_prefix(newline + 1);
  }
}

// Formats like vsnprintf into a string of any length, with one difference:
// the text of every %s and %c conversion passes kv::Printable, so that a
// control byte in a value (a line feed that would start a line of its own in
// the system log, on standard output or in the journal; an escape sequence
// for whoever reads them on a terminal) shows as '?'. Values are where text
// from outside arrives: file names, package fields, manifest strings, answers
// of the application, configuration values. The format is the daemon's own
// text and keeps its layout, line feeds included.
__attribute__((format(printf, 1, 0))) std::string FormatNeutral(const char* format, va_list args) {
  const int savedErrno = errno;
  if (std::strcmp(format, "%s") == 0) {
    const char* text = va_arg(args, const char*);
    return KeepLines(text != nullptr ? text : "(null)");
  }
  std::string out;
  const auto nextArg = [&args](auto type) { return va_arg(args, decltype(type)); };
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      const std::size_t n = next == nullptr ? std::strlen(p) : static_cast<std::size_t>(next - p);
      out.append(p, n);
      p += n;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string spec = "%";
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) spec += *p++;
    if (*p == '*') {
      spec += std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (std::isdigit(static_cast<unsigned char>(*p)) != 0) spec += *p++;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        const int precision = va_arg(args, int);
        ++p;
        if (precision >= 0) {  // a negative one counts as none
          spec += '.';
          spec += std::to_string(precision);
        }
      } else {
        spec += '.';
        while (std::isdigit(static_cast<unsigned char>(*p)) != 0) spec += *p++;
      }
    }
    std::string length;
    while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) length += *p++;
    const char conversion = *p;
    if (conversion == '\0') break;
    ++p;
    spec += length;
    spec += conversion;
    switch (conversion) {
      case 'd':
      case 'i': AppendInteger<int, long, long long, intmax_t, ssize_t>(out, spec, length, nextArg); break;
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        AppendInteger<unsigned, unsigned long, unsigned long long, uintmax_t, size_t>(out, spec, length, nextArg);
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L") {
          AppendConversion(out, spec, va_arg(args, long double));
        } else {
          AppendConversion(out, spec, va_arg(args, double));
        }
        break;
      case 'c': {
        std::string piece;
        if (length == "l") {
          AppendConversion(piece, spec, va_arg(args, wint_t));
        } else {
          AppendConversion(piece, spec, va_arg(args, int));
        }
        out += kv::Printable(piece, false);
        break;
      }
      case 's': {
        std::string piece;
        if (length == "l") {
          AppendConversion(piece, spec, va_arg(args, const wchar_t*));
        } else {
          AppendConversion(piece, spec, va_arg(args, const char*));
        }
        out += kv::Printable(piece, false);
        break;
      }
      case 'p': AppendConversion(out, spec, va_arg(args, void*)); break;
      case 'm': out += kv::Printable(std::strerror(savedErrno), false); break;
      case 'n': (void)va_arg(args, void*); break;  // writes nothing back
      default:
        // Not a conversion of printf: the rest of the format as it stands.
        out += start;
        return out;
    }
  }
  return out;
}

__attribute__((format(printf, 3, 0))) int PrintV(int priority, int level, const char* format, va_list args) {
  if (level > gVerbose.load() && level != 0) return 0;

  const std::string text = FormatNeutral(format, args);
  // The system log receives at most kLineSize - 1 characters.
  const std::string line = text.substr(0, kLineSize - 1);
  {
    std::lock_guard<std::mutex> lock(gEmitMutex);
    if (gStdout.load() != 0) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    if (gSystemLog.load() != 0) {
      openlog(gIdent, kSyslogOptions, LOG_USER);
      syslog(priority, "%s", line.c_str());
      closelog();
    }
  }
  return static_cast<int>(text.size());
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
  // A record is one line: a control byte in the caller's text (a package
  // name, a version from a control file) cannot end it and forge another.
  const std::string line =
      std::string(stamp) + " " + tagged + ": " + kv::Printable(text != nullptr ? text : "", false) + "\n";

  const std::string path = paths_Device(devpath::kUpdateLog);
  // The entry itself is looked at: a link in the log's place is refused
  // below, never followed to a file of someone else's choosing.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size > kUpdateLogLimit)) {
    // A new or restarted log replaces the old one whole: a kill or a power
    // cut leaves the old log or the new line, never an emptied file.
    if (kv::Status written = statefile_Write(path, line); !written) {
      log_Print(3, "UpdateLog - %s\n", written.error().message().c_str());
    }
    return;
  }
  // Appended without following a link or waiting on a FIFO, and only to a
  // regular file with a single link; anything else is refused with one line
  // per change of the entry, and the record is not written.
  kv::Result<kv::Fd> opened = safefile_OpenAppend(path, 0644);
  if (!opened) {
    (void)safefile_LogRefusal("UpdateLog", path, opened.error());
    return;
  }
  kv::Fd fd = std::move(opened).value();
  // One write appends the whole line; it is on the storage before the step
  // it records goes on.
  if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    log_Print(0, "UpdateLog - Unable to write data to file %s", path.c_str());
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    log_Print(0, "UpdateLog - Unable to close and save %s properly", path.c_str());
  }
}
