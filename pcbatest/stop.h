// The station ends a step it has given up on with SIGTERM, SIGINT or SIGHUP.
// A step that has started something that must be undone (a relay coil
// driven, a command running in its own process group) catches those
// signals first: from then on they only set a flag, the step's waits end
// early, it undoes what it started and reports.
#pragma once

#include <poll.h>

#include <cstddef>

// From here on SIGTERM, SIGINT and SIGHUP set the stop flag instead of
// ending the tool. Steps that start nothing of the kind keep the default.
void pcba_CatchStopSignals();

// True once a stop signal came after pcba_CatchStopSignals.
[[nodiscard]] bool pcba_StopRequested();

// Milliseconds on the monotonic clock.
[[nodiscard]] long long pcba_NowMs();

// poll() that also ends at a stop signal, however close before the wait it
// came (the signals are let through only inside the wait). Returns poll's
// result, or -1 once a stop was asked for (nothing is waited then).
int pcba_PollUnlessStopped(pollfd* fds, std::size_t count, long timeoutMs);

// Waits the given milliseconds; false when a stop signal ended the wait.
[[nodiscard]] bool pcba_WaitUnlessStopped(long milliseconds);
