#include "core/notify.h"

#include <systemd/sd-daemon.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

struct NotifyState {
  bool supervised = false;
  std::uint64_t watchdogUsec = 0;  // as configured; 0 without a watchdog
  bool widened = false;
};

NotifyState gNotify;

// A notification that does not arrive is not a reason to stop the loop: the
// service manager acts on the missing pings by itself.
void Send(const char* caller, const char* state) {
  const int rc = sd_notify(0, state);
  if (rc < 0) log_Print(3, "%s, service manager not reached: %s\n", caller, std::strerror(-rc));
}

void SendInterval(const char* caller, std::uint64_t usec) {
  char state[64];
  std::snprintf(state, sizeof state, "WATCHDOG=1\nWATCHDOG_USEC=%" PRIu64, usec);
  Send(caller, state);
  log_Print(3, "%s, watchdog interval %" PRIu64 " us\n", caller, usec);
}

}  // namespace

void notify_Init() {
  gNotify = NotifyState{};
  const char* socket = std::getenv("NOTIFY_SOCKET");
  gNotify.supervised = socket != nullptr && socket[0] != '\0';
  if (!gNotify.supervised) return;
  // The environment is left as it is: the shell commands the daemon starts
  // inherit it, and NotifyAccess=main makes systemd ignore anything they send.
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) gNotify.watchdogUsec = usec;
}

int notify_IsSupervised() { return gNotify.supervised ? 1 : 0; }

std::chrono::microseconds notify_WatchdogInterval() {
  return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(gNotify.watchdogUsec));
}

void notify_Ready() {
  if (!gNotify.supervised) return;
  Send("notify_Ready", "READY=1");
  log_Print(3, "notify_Ready, start-up finished, watchdog interval %" PRIu64 " us\n", gNotify.watchdogUsec);
}

void notify_Watchdog() {
  if (gNotify.supervised) Send("notify_Watchdog", "WATCHDOG=1");
}

void notify_WidenWatchdog(std::chrono::microseconds interval) {
  if (!gNotify.supervised || gNotify.watchdogUsec == 0 || interval.count() <= 0) return;
  const auto usec = static_cast<std::uint64_t>(interval.count());
  if (usec <= gNotify.watchdogUsec) return;
  SendInterval("notify_WidenWatchdog", usec);
  gNotify.widened = true;
}

void notify_RestoreWatchdog() {
  if (!gNotify.widened) return;
  gNotify.widened = false;
  SendInterval("notify_RestoreWatchdog", gNotify.watchdogUsec);
}
