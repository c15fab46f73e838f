// The background refresh of what identification answers report about the
// device: the identity from the application configuration and the security
// settings from the application over JSON-RPC (jsonclient.h), or their
// defaults when the application does not answer.
//
// No answer waits on the application: one thread of its own runs the
// refresh when a listener asks for it, at most once every
// kIdRefreshSpacingMs. An identification answer reports what a refresh that
// began after its request arrived found (so a change is in the next answer,
// as when every answer asked the application itself); the listener keeps
// serving everything else meanwhile and is woken through the event
// descriptor it subscribed when the refresh has ended. Requests that arrive
// while one refresh waits for its turn all share it.
#pragma once

#include <cstdint>

inline constexpr long long kIdRefreshSpacingMs = 1000;

// The outcome of the last refresh.
struct IdRefreshed {
  std::uint64_t generation = 0;  // refreshes ended; 0: none yet
  long long doneMs = 0;          // when the last one ended (monotonic ms)
  std::uint8_t appRunning = 0;   // the application answered it
};

// Starts the refresh thread (once). The first refresh runs when the first
// answer asks for it: a start reads nothing and asks the application nothing.
void idrefresh_Start();

// Adds an event descriptor that is written (a count of 1) after every
// refresh. At most kIdListenerCount descriptors.
void idrefresh_Subscribe(int eventFd);

IdRefreshed idrefresh_Current();

// Asks for a refresh that begins after now and returns its generation: an
// answer can leave once idrefresh_Current() has reached it. Without a
// refresh thread the refresh runs here, on the caller's thread.
std::uint64_t idrefresh_Need();

// One refresh on the caller's thread: reloads the identity, then asks the
// application for its security settings or applies the defaults. Returns 1
// when the application answered. The refresh thread runs this.
std::uint8_t IdProt_Refresh();
