// Identification server transport: one UDP listener per network interface,
// each in a thread of its own, bound to port 20034 on its interface only and
// joined to the IPv6 multicast group ff05::5a:5157. A listener drains what
// has arrived in batches, lets its guard (idguard.h) judge every datagram
// before any work is done, builds the admitted answers with the request
// module (idrequest.h) and sends them back to their senders.
//
// Nothing a listener does waits on anything but its socket: answers to
// requests sent to a group are spread over a random delay of up to
// kIdGroupDelayMs, and identification and network answers that need a new
// refresh of the device's identity (idrefresh.h) wait for it in the
// listener's queue of pending answers while everything else is served.
// Verified requests of a batch are served before the others.
//
// Threads: the records are prepared by IdProt_Init and started by
// IdProt_StartUpListeningServers, both on the main thread, which alone
// touches the started flags. A started record belongs to its listener
// thread; afterwards the main thread only reads the interface index the
// socket is bound to and wakes the listener through its event descriptor
// when the interface has been replaced by one of the same name (a new
// index): the listener then binds anew. The refresh thread wakes listeners
// through the same descriptor. Listener threads are never stopped.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/handles.h"
#include "idprot/idguard.h"
#include "idprot/idiface.h"
#include "idprot/idrequest.h"

inline constexpr long kIdPauseMicroseconds = 10000;  // between attempts to create the socket
inline constexpr std::size_t kIdNameSize = 52;
inline constexpr std::size_t kIdDeviceNameSize = 32;
// Kernel receive buffer of a listener socket: shallow, so that what waits
// after a flood is drained within a fraction of a second.
inline constexpr int kIdReceiveBufferBytes = 256 << 10;
// Datagrams read with one system call, and batches read before the pending
// answers are looked at again.
inline constexpr int kIdBatchSize = 16;
inline constexpr int kIdBatchesPerWake = 16;
// Answers waiting for their time or for a refresh, per listener.
inline constexpr int kIdPendingCount = 64;
// Answers to requests sent to a group leave after a random delay below this.
inline constexpr long long kIdGroupDelayMs = 1000;

// The socket side of a listener.
struct IdTransport {
  int interfaceIndex = 0;
  char interfaceName[kIdNameSize] = "";
  char deviceName[kIdDeviceNameSize] = {};
  kv::Fd socket;
  kv::Fd wake;                          // event descriptor: bind anew, or a refresh ended
  std::atomic<bool> rebind{false};      // the main thread asks for a new binding
  std::atomic<unsigned> boundIndex{0};  // kernel index of the bound interface, 0: none
  unsigned wokenIndex = 0;              // main thread only: the index last woken for
  std::uint8_t started = 0;             // main thread only
};

// One received datagram. The buffer has one byte more than a datagram can
// fill, so that the request is always terminated for the log lines.
struct IdExchange {
  char request[kIdBufferSize + 1];
  std::size_t length;
  sockaddr_in6 sender;
  bool toGroup;  // sent to a multicast or broadcast address
};

// An admitted answer not sent yet.
struct IdPendingAnswer {
  long long dueMs = 0;
  std::uint64_t needGeneration = 0;  // refresh it waits for; 0: none
  sockaddr_in6 to{};
  IdRequestKind kind = kIdRequestUnknown;
  bool cookie = false;     // the cookie answer instead of the full one
  bool withNonce = false;  // verified: the nonce is echoed
  std::uint8_t nonce[kIdNonceSize] = {};
};

// One listener.
struct IdListener {
  IdTransport transport;
  IdGuard guard;  // listener thread only
  IdPendingAnswer pending[kIdPendingCount];
  int pendingCount = 0;  // listener thread only
  std::uint64_t random = 0;
};

// Prepares the listener records of the seven listening interfaces and
// starts the identity refresh. Records that already have a listener are left
// alone.
void IdProt_Init();

// Starts a listener on every interface that is up and has none yet, in the
// order eth0, eth0.vlan1, eth1, eth2, eth2.vlan1, wlan0, wwan0; and wakes a
// started listener whose interface is up under a new index (deleted and
// created again), so that it binds to the new one. Returns 0.
int IdProt_StartUpListeningServers();

// Fills one record: name (at most 50 characters), index.
void idserver_InitServer(IdListener& listener, int index, const char* name);

// Starts the listener thread of one record and marks it started. When the
// thread cannot be created the record stays not started, so the next pass
// tries again.
void idserver_StartServer(IdListener& listener, int index);

// Creates, configures and binds the listener's socket (dual-stack IPv6, port
// 20034, bound to the interface, joined to the multicast group) and records
// the interface index it is bound to. Returns the record, or null after a
// logged failure (socket closed).
IdListener* idserver_CreateServer(IdListener& listener);

// Receives what has arrived, at most count datagrams, without waiting; each
// is cut to kIdBufferSize bytes and terminated. Returns the number received.
int idserver_Receive(IdListener& listener, IdExchange* batch, int count);

// Judges a received batch and answers what is admitted: verified requests
// first, then the others in their order; answers that must wait are queued.
void idserver_Serve(IdListener& listener, const IdExchange* batch, int count, long long nowMs);

// Sends the queued answers that are due at nowMs and whose refresh has
// ended; returns the milliseconds until the next one is due (-1: none
// waits on time).
int idserver_ServeDue(IdListener& listener, long long nowMs);

// Sends len bytes to one address as one datagram.
void idserver_Transmit(IdListener& listener, const sockaddr_in6& to, const char* data, int len);

// 1 when the interface exists and is administratively up, else 0.
int IdProt_IsInterfaceUp(const char* name);

// The record of an index (0 to 7), or null; for tests and tools.
IdListener* IdProt_GetListener(int index);
