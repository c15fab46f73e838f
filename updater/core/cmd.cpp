#include "core/cmd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/log.h"
#include "core/notify.h"
#include "core/sleep.h"

namespace {

bool IsAllowed(unsigned char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '-':
    case '_':
    case '"':
    case '\'':
    case '/':
    case '@':
    case ' ':
    case ':':
    case '.': return true;
    default: return false;
  }
}

void RunShell(const char* line) {
  // The exit status is deliberately not examined: callers look at the files
  // the command was meant to produce. (A cast to void does not silence the
  // unused-result warning that fortified builds give system().)
  [[maybe_unused]] const int status = std::system(line);
}

}  // namespace

int cmd_IsAllowedLine(std::string_view line, char* refused) {
  for (const char c : line) {
    if (!IsAllowed(static_cast<unsigned char>(c))) {
      if (refused != nullptr) *refused = c;
      return 0;
    }
  }
  return 1;
}

std::string cmd_RefusedByteText(char c) {
  const auto byte = static_cast<unsigned char>(c);
  char text[16];
  if (byte >= 0x20 && byte < 0x7f) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else {
    std::snprintf(text, sizeof text, "the byte 0x%02x", byte);
  }
  return text;
}

int cmd_Check(const char* line) {
  if (line == nullptr) return 0;
  const std::size_t length = std::strlen(line);
  if (length == 0 || length > kCmdMaxLength) return 0;
  char refused = '\0';
  if (cmd_IsAllowedLine(std::string_view(line, length), &refused) == 0) {
    log_Print(0, "Illegal character %c in command: \"%s\"", refused, line);
    return 0;
  }
  return 1;
}

int cmd_Run(const char* line) {
  if (cmd_Check(line) == 0) return 0;
  RunShell(line);
  return 1;
}

int cmd_System(const char* line) {
  if (line != nullptr) RunShell(line);
  return 0;
}

kv::Pipe cmd_OpenPipe(const char* line) {
  // 'e': the pipe's own descriptor is not inherited by later commands.
  return kv::Pipe(::popen(line, "re"));
}

int cmd_ClosePipe(kv::Pipe pipe) {
  FILE* f = pipe.release();
  if (f == nullptr) return -1;
  return ::pclose(f);
}

CmdReader::CmdReader(CmdReader&& other) noexcept
    : out_(std::move(other.out_)),
      pid_(std::exchange(other.pid_, -1)),
      ownGroup_(other.ownGroup_),
      pending_(std::move(other.pending_)),
      ended_(other.ended_) {}

CmdReader& CmdReader::operator=(CmdReader&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) (void)Terminate();
    out_ = std::move(other.out_);
    pid_ = std::exchange(other.pid_, -1);
    ownGroup_ = other.ownGroup_;
    pending_ = std::move(other.pending_);
    ended_ = other.ended_;
  }
  return *this;
}

CmdReader::~CmdReader() {
  if (pid_ > 0) (void)Terminate();
}

CmdReader CmdReader::Start(const char* line, bool ownGroup) {
  CmdReader reader;
  reader.ownGroup_ = ownGroup;
  if (line == nullptr) return reader;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return reader;
  kv::Fd readEnd(fds[0]);
  kv::Fd writeEnd(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return reader;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return reader;
  }
  // Standard output into the pipe (dup2 clears close-on-exec on the copy);
  // a process group of its own, led by the shell.
  (void)posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  if (ownGroup) {
    (void)posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    (void)posix_spawnattr_setpgroup(&attr, 0);
  }
  char sh[] = "sh";
  char dashC[] = "-c";
  std::string command(line);
  char* argv[] = {sh, dashC, command.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return reader;
  reader.out_ = std::move(readEnd);
  reader.pid_ = pid;
  return reader;
}

CmdReader::Read CmdReader::ReadLine(char* buf, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  if (size < 2) return Read::kEnd;
  const std::size_t most = size - 1;
  for (;;) {
    const std::size_t feed = pending_.find('\n');
    const bool whole = feed != std::string::npos && feed < most;
    if (whole || pending_.size() >= most || (ended_ && !pending_.empty())) {
      const std::size_t n = whole ? feed + 1 : std::min(most, pending_.size());
      pending_.copy(buf, n);
      buf[n] = '\0';
      pending_.erase(0, n);
      return Read::kLine;
    }
    if (ended_ || !out_) return Read::kEnd;

    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    struct pollfd p {
      out_.get(), POLLIN, 0
    };
    const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 60000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return Read::kDeadline;
      continue;
    }
    char chunk[4096];
    const ssize_t got = ready < 0 ? -1 : ::read(out_.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended_ = true;
      continue;
    }
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

int CmdReader::Wait() {
  int status = -1;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
  pid_ = -1;
  return status;
}

int CmdReader::Close() {
  if (pid_ <= 0) return -1;
  out_.reset();
  return Wait();
}

int CmdReader::Terminate(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  out_.reset();
  const auto signal = [this](int sig) { (void)(ownGroup_ ? ::killpg(pid_, sig) : ::kill(pid_, sig)); };
  signal(SIGTERM);
  const auto until = std::chrono::steady_clock::now() + grace;
  for (;;) {
    // Looked at without reaping: while the shell is not reaped its group id
    // cannot be reused, so the SIGKILL below reaches only what it started.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
      break;
    }
    if (std::chrono::steady_clock::now() >= until) break;
    kv_SleepMicroseconds(50000);
  }
  signal(SIGKILL);
  return Wait();
}

int cmd_RunWatched(const char* line, std::chrono::seconds deadline) {
  if (cmd_Check(line) == 0) return kCmdRefused;
  // In the daemon's process group, as a command of cmd_Run is: a kill of the
  // daemon ends it too (what it asked the service manager for goes on).
  CmdReader command = CmdReader::Start(line, false);
  if (!command) return -1;
  constexpr std::chrono::seconds kPing{5};
  const auto until = std::chrono::steady_clock::now() + deadline;
  char out[1034];
  for (;;) {
    const auto next = std::min(until, std::chrono::steady_clock::now() + kPing);
    const CmdReader::Read read = command.ReadLine(out, sizeof out, next);
    if (read == CmdReader::Read::kEnd) return command.Close();
    if (read == CmdReader::Read::kLine) {
      log_Print(3, "cmd_RunWatched, %s: %s", line, out);
    } else if (std::chrono::steady_clock::now() >= until) {
      (void)command.Terminate();
      return kCmdOverran;
    }
    notify_Watchdog();
  }
}

std::chrono::seconds cmd_DeadlineFrom(const char* environment, std::chrono::seconds fallback) {
  const char* text = std::getenv(environment);
  if (text == nullptr) return fallback;
  long long seconds = 0;
  const char* end = text + std::strlen(text);
  const auto [at, ec] = std::from_chars(text, end, seconds);
  return ec == std::errc() && at == end && seconds > 0 ? std::chrono::seconds(seconds) : fallback;
}
