// Identification server transport: one UDP listener per network interface,
// each in a thread of its own, bound to port 20034 on its interface only and
// joined to the IPv6 multicast group ff05::5a:5157. A listener receives one
// datagram at a time, hands it to the request dispatcher (idrequest.h) and
// sends the answer back to the sender.
//
// Threads: the records are prepared by IdProt_Init and started by
// IdProt_StartUpListeningServers, both on the main thread, which alone
// touches the started flags. A started record belongs to its listener
// thread; afterwards the main thread only reads the interface index the
// socket is bound to and wakes the listener through its event descriptor
// when the interface has been replaced by one of the same name (a new
// index): the listener then binds anew. Listener threads are never stopped.
//
// Every received datagram passes the listener's guard (idguard.h) before
// any work is done: answers are never answered, and requests beyond the
// interface's rate are dropped and counted.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/identity.h"
#include "core/handles.h"
#include "idprot/idguard.h"

inline constexpr int kIdListenerCount = 8;
inline constexpr int kIdPort = 20034;
inline constexpr const char* kIdMulticastGroup = "ff05::5a:5157";
inline constexpr std::size_t kIdBufferSize = 2048;
inline constexpr long kIdPauseMicroseconds = 10000;
inline constexpr std::size_t kIdNameSize = 52;
inline constexpr std::size_t kIdDeviceNameSize = 32;
// Kernel receive buffer of a listener socket: room for the datagrams of a
// flood that arrive while the listener answers and pauses, so that honest
// requests among them wait instead of being lost.
inline constexpr int kIdReceiveBufferBytes = 1 << 20;

// Interface indexes of the listener table.
inline constexpr int kIdIndexEth0 = 0;
inline constexpr int kIdIndexEth1 = 1;
inline constexpr int kIdIndexWlan0 = 2;
inline constexpr int kIdIndexBnep0 = 3;  // never gets a listener
inline constexpr int kIdIndexWwan0 = 4;
inline constexpr int kIdIndexEth2 = 5;
inline constexpr int kIdIndexEth0Vlan1 = 6;
inline constexpr int kIdIndexEth2Vlan1 = 7;

// One listener. The buffers have one byte more than a datagram or an answer
// can fill, so that both are always terminated for the log lines.
struct IdListener {
  int interfaceIndex = 0;
  char interfaceName[kIdNameSize] = "";
  unsigned requestLength = 0;
  DeviceIdData* identity = nullptr;  // the shared record; only under config_Lock()
  char rxBuffer[kIdBufferSize + 1] = {};
  std::uint8_t appRunning = 0;  // set by the refresh when the application answered
  char txBuffer[kIdBufferSize + 1] = {};
  int txLength = 0;
  std::uint8_t started = 0;  // main thread only
  kv::Fd socket;
  char deviceName[kIdDeviceNameSize] = {};
  sockaddr_in6 localAddress{};
  sockaddr_in6 senderAddress{};
  in_addr requestDestination{};  // destination of the last IPv4 request
  char requestDestinationText[100] = "";
  // Room for the control data of one receive: one IPv4 packet-information
  // message, sized for this platform's control-message header.
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  IdGuard guard;                        // listener thread only
  kv::Fd wake;                          // event descriptor: bind anew
  std::atomic<unsigned> boundIndex{0};  // kernel index of the bound interface, 0: none
  unsigned wokenIndex = 0;              // main thread only: the index last woken for
};

// Result of idserver_Receive for a datagram the guard dropped.
inline constexpr int kIdReceiveDropped = -2;

// The interface name of a listener index ("eth0", "eth1", "wlan0", "bnep0",
// "wwan0", "eth2", "eth0.vlan1", "eth2.vlan1"); the empty text above 7.
const char* IdProt_GetInterfaceName(int index);

// Prepares the listener records of the seven listening interfaces. Records
// that already have a listener are left alone.
void IdProt_Init();

// Starts a listener on every interface that is up and has none yet, in the
// order eth0, eth0.vlan1, eth1, eth2, eth2.vlan1, wlan0, wwan0; and wakes a
// started listener whose interface is up under a new index (deleted and
// created again), so that it binds to the new one. Returns 0.
int IdProt_StartUpListeningServers();

// Fills one record: name (at most 50 characters), index, shared identity.
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

// Receives one datagram (at most size bytes, a longer one is cut) into
// buffer, which must have room for size + 1 bytes: the text is terminated.
// Stores the sender and, for IPv4, the destination address. Returns the
// length (0 for an empty datagram), kIdReceiveDropped when the listener's
// guard dropped it (nothing logged but the guard's report), or -1 when the
// receive failed.
int idserver_Receive(IdListener& listener, char* buffer, int size);

// Sends len bytes to the last sender as one datagram.
void idserver_Transmit(IdListener& listener, const char* data, int len);

// 1 when the interface exists and is administratively up, else 0.
int IdProt_IsInterfaceUp(const char* name);

// The record of an index (0 to 7), or null; for tests and tools.
IdListener* IdProt_GetListener(int index);

// Serves one received request: dispatches it, then clears the application
// flag. The listener thread runs this after every successful receive.
void idserver_ServeOne(IdListener& listener);
