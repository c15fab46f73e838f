#include "stop.h"

#include <signal.h>
#include <time.h>

#include <array>
#include <csignal>

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void OnStopSignal(int /*signal*/) { gStopRequested = 1; }

constexpr std::array<int, 3> kStopSignals{SIGTERM, SIGINT, SIGHUP};

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kStopSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void pcba_CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) (void)::sigaction(signal, &action, nullptr);  // cannot fail for these
}

bool pcba_StopRequested() { return gStopRequested != 0; }

long long pcba_NowMs() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000LL + now.tv_nsec / 1000000L;
}

int pcba_PollUnlessStopped(pollfd* fds, std::size_t count, long timeoutMs) {
  // The signals are blocked while the flag is looked at; ppoll lets them
  // through only for the wait itself, so one that comes in between still
  // ends it.
  const sigset_t stop = StopSet();
  sigset_t previous;
  (void)::sigprocmask(SIG_BLOCK, &stop, &previous);  // cannot fail for these
  int ready = -1;
  if (gStopRequested == 0) {
    const long wait = timeoutMs > 0 ? timeoutMs : 0;
    const timespec limit{static_cast<time_t>(wait / 1000), (wait % 1000) * 1000000L};
    ready = ::ppoll(fds, count, &limit, &previous);
  }
  (void)::sigprocmask(SIG_SETMASK, &previous, nullptr);
  return ready;
}

bool pcba_WaitUnlessStopped(long milliseconds) {
  const long long end = pcba_NowMs() + milliseconds;
  for (long long left = milliseconds; !pcba_StopRequested() && left > 0; left = end - pcba_NowMs()) {
    (void)pcba_PollUnlessStopped(nullptr, 0, static_cast<long>(left));
  }
  return !pcba_StopRequested();
}
