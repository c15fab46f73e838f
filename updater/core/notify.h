// Supervision by the service manager (systemd, Type=notify).
//
// The daemon tells systemd when its start-up has finished (READY=1) and, once
// a pass of the polling loop, that the loop is alive (WATCHDOG=1); a loop that
// stops passing stops the pings, and systemd ends and restarts the daemon
// after the unit's WatchdogSec. A step that holds the loop for longer than
// that but has a deadline of its own widens the watchdog interval for its
// duration.
//
// Messages go through libsystemd's sd_notify to the socket named by the
// environment variable NOTIFY_SOCKET. Where it is unset (tests, sandbox runs,
// host tools, a daemon started by hand) every function here does nothing.
// Called from the main thread only.
#pragma once

#include <chrono>
#include <cstdint>

// Reads once whether a service manager supervises the daemon (NOTIFY_SOCKET)
// and the watchdog interval it configured for this process (WATCHDOG_USEC,
// checked against WATCHDOG_PID). Called at start-up before any thread starts;
// calling it again reads the environment afresh (tests).
void notify_Init();

// 1 when a service manager listens for notifications, 0 otherwise.
int notify_IsSupervised();

// The watchdog interval the service manager configured, 0 when it set none.
std::chrono::microseconds notify_WatchdogInterval();

// Start-up has finished and the loop is about to begin: "READY=1".
void notify_Ready();

// One keep-alive ping of the loop: "WATCHDOG=1".
void notify_Watchdog();

// For a step that may hold the loop for up to `interval` (its own deadline
// plus a margin): pings and sets the watchdog interval to `interval`
// ("WATCHDOG=1" and "WATCHDOG_USEC=<interval>"). Never narrows the configured
// interval, and does nothing when no watchdog is configured (sending an
// interval would switch one on). Widenings do not nest: the next restore
// returns to the configured interval.
void notify_WidenWatchdog(std::chrono::microseconds interval);

// Ends a widening: pings and sets the configured interval again. Does nothing
// when no widening is in force.
void notify_RestoreWatchdog();

namespace kv {

// Holds the watchdog widened for its lifetime (notify_WidenWatchdog in the
// constructor, notify_RestoreWatchdog in the destructor), so that every way
// out of a long step restores the interval.
class WatchdogWidening {
 public:
  explicit WatchdogWidening(std::chrono::microseconds interval) { notify_WidenWatchdog(interval); }
  ~WatchdogWidening() { notify_RestoreWatchdog(); }
  WatchdogWidening(const WatchdogWidening&) = delete;
  WatchdogWidening& operator=(const WatchdogWidening&) = delete;
};

}  // namespace kv
