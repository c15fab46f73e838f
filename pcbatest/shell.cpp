// Shell commands of the test steps: each runs as "/bin/sh -c" in a process
// group of its own, so that a command that hangs (a clock that does not
// answer, a calibration nobody finishes) is stopped at its deadline together
// with everything it started, and the step still ends with its report.
#include "shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "stop.h"

namespace {

// A station that gives up on a step (SIGTERM, Ctrl-C, a closed session)
// stops the running command like its deadline would: the step then reports
// and undoes what it can, instead of dying half-way and leaving the command
// running on without it. Caught with the first command, so the steps that
// run none keep the default reaction.
void CatchStopSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  pcba_CatchStopSignals();
}

// Starts the shell as the leader of a new process group, standard input from
// /dev/null (a command in a background group that read the terminal would
// stop until its deadline), standard output to outFd when that is valid.
pid_t Start(const char* command, int outFd) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    (void)::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) (void)::dup2(null, STDIN_FILENO);
    if (outFd >= 0) (void)::dup2(outFd, STDOUT_FILENO);
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Either side may run first; both make the group before anyone signals it.
  if (pid > 0) (void)::setpgid(pid, pid);
  return pid;
}

// True once the shell has ended. It is left a zombie (WNOWAIT), so that its
// process group id cannot be taken by another process before the group is
// killed.
bool LeaderEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// The first line of what a command prints: at most 249 bytes, its line end
// included, cut at a zero byte (what the C string functions would see).
class FirstLine {
 public:
  void Take(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && !done_; ++i) {
      bytes_[used_++] = data[i];
      done_ = data[i] == '\n' || used_ == bytes_.size();
    }
  }
  void CopyTo(CommandOutput& out) const {
    out.Append(std::string_view(bytes_.data(), ::strnlen(bytes_.data(), used_)));
  }

 private:
  std::array<char, kCommandOutputSize - 1> bytes_{};
  std::size_t used_ = 0;
  bool done_ = false;
};

// Runs the command; with out, reads its output meanwhile (to its end, so
// that the command is never stopped by a full pipe) and keeps the first line.
bool Run(const char* command, long deadlineMs, CommandOutput* out) {
  CatchStopSignals();
  if (pcba_StopRequested()) return false;
  std::array<int, 2> pipeFds{-1, -1};
  if (out != nullptr && ::pipe2(pipeFds.data(), O_CLOEXEC) != 0) return false;
  DeviceFd readEnd(pipeFds[0]);
  const pid_t pid = Start(command, pipeFds[1]);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  if (pid < 0) return false;

  constexpr long kPollMs = 10;
  const long long deadline = pcba_NowMs() + deadlineMs;
  FirstLine line;
  bool ended = false;
  bool groupKilled = false;
  for (;;) {
    if (!ended && LeaderEnded(pid)) {
      ended = true;
      // What the command left behind in its group goes with it; the output
      // then reaches its end at once.
      (void)::kill(-pid, SIGKILL);
      groupKilled = true;
    }
    if (ended && !readEnd.Valid()) break;
    const long left = static_cast<long>(deadline - pcba_NowMs());
    if (left <= 0 || pcba_StopRequested()) break;
    pollfd wait{readEnd.Get(), POLLIN, 0};
    const int ready = pcba_PollUnlessStopped(&wait, readEnd.Valid() ? 1 : 0, ended ? left : std::min(left, kPollMs));
    if (ready > 0) {
      std::array<char, 256> chunk{};
      const ssize_t got = ::read(readEnd.Get(), chunk.data(), chunk.size());
      if (got > 0) line.Take(chunk.data(), static_cast<std::size_t>(got));
      if (got == 0) readEnd = DeviceFd();
    }
  }
  if (!groupKilled) (void)::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out != nullptr) line.CopyTo(*out);
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool pcba_RunCommand(const char* command, long deadlineMs) { return Run(command, deadlineMs, nullptr); }

void pcba_ReadCommandLine(const char* command, CommandOutput& out, long deadlineMs) {
  (void)Run(command, deadlineMs, &out);
}
