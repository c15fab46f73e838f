// The binary network answer "NETBR" and the system queries behind it and
// behind the identification document: routes, nameserver, static or DHCP
// configuration, sftp status, PCOMM port, interface address and MAC.
//
// The interface index is that of the listener table (idserver.h); names come
// from IdProt_GetInterfaceName.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/identity.h"

// Offsets of the network answer.
inline constexpr std::size_t kNetbrLengthField = 5;
inline constexpr std::uint32_t kNetbrFixedLength = 148;
inline constexpr std::size_t kNetbrStaticAddress = 9;
inline constexpr std::size_t kNetbrStaticNetmask = 13;
inline constexpr std::size_t kNetbrStaticGateway = 17;
inline constexpr std::size_t kNetbrMac1 = 112;
inline constexpr std::size_t kNetbrStaticDns = 119;
inline constexpr std::size_t kNetbrMac2 = 123;
inline constexpr std::size_t kNetbrDhcpAddress = 131;
inline constexpr std::size_t kNetbrDhcpNetmask = 135;
inline constexpr std::size_t kNetbrDhcpGateway = 139;
inline constexpr std::size_t kNetbrDhcpDns = 143;
inline constexpr std::size_t kNetbrFlags = 147;
inline constexpr std::size_t kNetbrText = 153;
inline constexpr std::uint8_t kNetbrFlagSftp = 0x02;
inline constexpr std::uint8_t kNetbrFlagPcommFree = 0x08;
inline constexpr std::uint8_t kNetbrFlagWriteBackup = 0x40;

// Kinds of IDPacket_getrouteinfo4.
inline constexpr int kRouteGateway = 0;  // " UG " lines, Gateway column
inline constexpr int kRouteNetmask = 1;  // " U " lines, Genmask column

// The PCOMM port of the application, probed by IdPacket.
inline constexpr int kPcommPort = 4002;

// Writes the network answer for the interface into out (size bytes, at least
// the fixed part) and returns its length (up to the final NUL of the text
// part). Sets id's sftp and PCOMM flags from the system, as the answer
// reports them.
int IDPacket_createIDresponse(char* out, int size, DeviceIdData& id, int index, std::uint8_t appRunning);

// Reads the interface's gateway or netmask from the kernel's IPv4 route table
// into address (4 bytes, network order): the gateway of a route whose flags
// are exactly "UG", the netmask of one whose flags are exactly "U", of the
// listener's interface itself (the route's interface name equal to it); the
// last such route wins. Returns 0, or -1 when the table cannot be read.
int IDPacket_getrouteinfo4(std::uint8_t address[4], int index, int kind);

// The same over a route table in the kernel's text form ("/proc/net/route":
// a header line, then Iface, Destination, Gateway, Flags, RefCnt, Use,
// Metric, Mask, ... with addresses and flags in hexadecimal).
int IDPacket_readRouteTable(const char* table, std::uint8_t address[4], int index, int kind);

// The first IPv4 nameserver of /etc/resolv.conf into address. Returns 0 when
// one was found, 1 otherwise (address untouched).
int IDPacket_getDNSrsv4(std::uint8_t address[4], int index);

// 1 when the interface's systemd network file configures it statically, 0
// for DHCP: the file's first line that begins with "DHCP=" decides (DHCP when
// its value begins with "yes" or "ipv4"); no such line, or no file, is static.
int IdProt_IsStaticConfig(int index);

// 1 unless the sftp subsystem line of sshd_config is commented out: the last
// line matching "^#*Subsystem[\t| *]sftp[\t| *]internal-sftp" decides (as a
// 1034-byte line buffer reads it); no such line, or no file, is enabled.
int IdProt_GetSftpStatus();

// Default security flags for a device whose application does not answer:
// sftp from sshd_config, all others 0.
void IdProt_SetDefaultSecurity(DeviceIdData& id);

// 1 when TCP port 4002 on 127.0.0.1 can be bound (the application does not
// hold it), 0 otherwise.
int IdPacket();

// The interface's IPv4 address (4 bytes, network order) or hardware address
// (6 bytes). All zero when the interface cannot be asked: no socket, no such
// interface, no address.
void IdProt_GetInterfaceAddress(std::uint8_t out[4], int index);
void IdProt_GetInterfaceMac(std::uint8_t out[6], int index);
