// kvid: the service technician's identification client. Finds controllers on
// a network segment, reads one controller's update status (optionally
// following it until the update ends) and its network record.
//
// The decoding half (this header) is shared with the tests; the sockets and
// the command line live in net.cpp and main.cpp.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/handles.h"
#include "core/result.h"

namespace kvid {

// Exit statuses of the client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitUsage = 2;  // also an unknown interface or address
inline constexpr int kExitMalformed = 3;
inline constexpr int kExitUpdateFailed = 4;

// One identification answer, decoded.
struct Identity {
  std::string json;  // the document as it came, compact
  std::string device, swRevision, imageVersion, interfaceName, mac;
  bool appRunning = false;
};

// Decodes an "IDRSP" answer. Refused, with the reason, when the answer is not
// "IDRSP" followed by a JSON object with the string members "device",
// "sw_revision" and "image_version" and the Boolean "app_running".
kv::Result<Identity> DecodeIdentity(std::string_view answer);
// Anyone on the network can answer: every decoder returns the answer's texts
// with their control bytes shown as '?' (kv::Printable), so that printing them
// cannot drive the technician's terminal.

// The discovery line of a controller: address, device, software revision,
// image version and whether the application runs, separated by tabs.
std::string IdentityLine(const std::string& address, const Identity& id);

// One status document, decoded.
struct Status {
  std::string json;
  int totalProgress = 0, componentProgress = 0, actionCode = 0, errorNumber = 0, elapsed = 0, sequence = 0;
  std::string action, error, timedate, serverName, serverRevision, bundle;
};

// Decodes a status document; refused when it is not JSON or lacks one of the
// progress, action or error members.
kv::Result<Status> DecodeStatus(std::string_view answer);

// The multi-line status report and the one-line progress line of --follow.
std::string StatusReport(const std::string& address, const Status& s);
std::string ProgressLine(const Status& s);

// Whether a followed update has ended, and how: action code 2 (installed,
// restarting) or 3 (done after a failure), or any error number.
bool UpdateEnded(const Status& s);
bool UpdateSucceeded(const Status& s);

// The network record, decoded field by field.
struct NetworkRecord {
  std::uint32_t length = 0;
  std::uint8_t staticAddress[4], staticNetmask[4], staticGateway[4], staticDns[4];
  std::uint8_t mac[6], mac2[6];
  std::uint8_t dhcpAddress[4], dhcpNetmask[4], dhcpGateway[4], dhcpDns[4];
  std::uint8_t flags = 0;
  std::uint8_t trailer[5];
  std::string platform, text;
};

// Decodes a "NETBR" answer; refused when it is shorter than the fixed part,
// has another keyword, or its text part lacks its two NULs.
kv::Result<NetworkRecord> DecodeNetworkRecord(std::string_view answer);
std::string NetworkReport(const std::string& address, std::size_t size, const NetworkRecord& r);

// --- network (net.cpp) ---------------------------------------------------

// A destination: an IPv4 or IPv6 address text, with the interface index for
// link-local and multicast addresses.
struct Target {
  sockaddr_in6 address{};  // IPv4 targets as IPv4-mapped addresses
  std::string text;
};

// Resolves an address text (numeric only); refused when it is not one.
kv::Result<Target> MakeTarget(const std::string& text, unsigned interfaceIndex, int port);

// One received datagram.
struct Answer {
  std::string from;  // address text of the sender
  std::string data;
};

// Receive buffer of the socket: room for the answers of a whole plant that
// arrive at once after a discovery request (about 1,000 answers of up to
// 2 KiB each, with the kernel's overhead per datagram).
inline constexpr int kReceiveBufferBytes = 8 << 20;

// A dual-stack UDP socket whose multicast leaves through interfaceIndex
// (0: the system's choice), with a receive buffer of kReceiveBufferBytes
// (beyond the system's limit only with the privilege to).
kv::Result<kv::Fd> OpenSocket(unsigned interfaceIndex);

// Which datagrams count as answers.
enum class From {
  kPort,     // any sender on the port asked (discovery: a multicast request has many)
  kTargets,  // only the addresses and ports asked
};

// Sends data to every target, then collects answers until timeoutMs has
// passed (or, when stopAfter > 0, that many answers have come). Datagrams
// from elsewhere are passed over.
std::vector<Answer> Ask(const kv::Fd& socket, const std::vector<Target>& targets, std::string_view data, int timeoutMs,
                        std::size_t stopAfter, From from);

}  // namespace kvid
