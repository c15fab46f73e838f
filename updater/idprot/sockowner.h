// Who owns a local TCP socket, as the kernel says: the socket at the far end
// of one exact IPv4 connection (both addresses and ports), or the listener
// that new connections to an address and port reach. The kernel's socket
// diagnostics (NETLINK_SOCK_DIAG) answer for the caller's network namespace;
// where that interface is missing, its text table "/proc/net/tcp" is read
// instead.
//
// The kernel knows a socket's owner only while a process holds it: a
// connection still waiting in its listener's queue, one whose process has
// closed it, and the remains of a closed connection (TIME_WAIT) all show
// user 0 with inode 0. Such a socket is reported as found but without an
// owner (hasOwner false); its uid says nothing.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

#include "core/result.h"

inline constexpr std::uint8_t kTcpStateListen = 10;      // TCP_LISTEN
inline constexpr std::uint8_t kTcpStateTimeWait = 6;     // TCP_TIME_WAIT
inline constexpr std::uint8_t kTcpStateNewSynRecv = 12;  // TCP_NEW_SYN_RECV: a half-open request

// The kernel's table of IPv4 TCP sockets of the reading process's network
// namespace. A view of the kernel, not a device file: no sandbox root applies.
inline constexpr const char* kTcpTable = "/proc/net/tcp";

struct TcpSocketOwner {
  std::uint8_t state = 0;  // the kernel's TCP_* state
  uid_t uid = 0;
  bool hasOwner = false;  // a process holds the socket: uid is its owner
};

// The socket whose own end is local and whose other end is remote. An error
// with code ENOENT when there is none; another error when neither the socket
// diagnostics nor the table could be asked. timeoutMs bounds the wait for the
// kernel's answer.
[[nodiscard]] kv::Result<TcpSocketOwner> sockowner_Find(const sockaddr_in& local, const sockaddr_in& remote,
                                                        int timeoutMs);

// The listener that a new connection to local would reach (one bound to
// local's address ahead of one bound to any address). Errors as above.
[[nodiscard]] kv::Result<TcpSocketOwner> sockowner_FindListener(const sockaddr_in& local, int timeoutMs);

// The same two questions over a table in the kernel's text form (a header
// line, then "sl local_address rem_address st ... uid timeout inode ..."
// with addresses and ports in hexadecimal); remote == nullptr asks for the
// listener.
[[nodiscard]] kv::Result<TcpSocketOwner> sockowner_FindInTable(const char* table, const sockaddr_in& local,
                                                               const sockaddr_in* remote);
