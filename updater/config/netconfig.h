// Network interface configuration: the configured side of each interface
// (from "/opt/kv2/etc/netinterfaces.config", falling back to and restoring
// from "/opt/kv2/etc/netinterfaces.bak") and live queries of the addresses
// the kernel currently reports, with text formatting of addresses.
//
// The table is guarded by the configuration lock of identity.h
// (config_Lock); use net_SnapshotConfig from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Entries of the table; the index is the interface index shared with the
// identification listeners (0 eth0, 1 eth1, 2 wlan0, 3 bnep0, 4 wwan0, 5 eth2,
// 6 and 7 unnamed here).
inline constexpr int kNetIfCount = 8;
// Netif sections beyond this many are ignored; entries 6 and 7 stay zero.
inline constexpr int kNetIfConfigured = 6;

inline constexpr std::size_t kNetDescriptionSize = 50;  // 49 characters
inline constexpr std::size_t kNetIfNameSize = 16;
inline constexpr std::size_t kNetFormatV4Size = 128;
// Room for the text form of any IPv6 address and its terminator.
inline constexpr std::size_t kNetFormatV6Size = 60;

// One entry of the interface configuration table. Addresses are in network
// byte order.
struct NetIfConfig {
  char description[kNetDescriptionSize];  // "description", empty when missing
  char interfaceName[kNetIfNameSize];     // from the name table by index
  std::uint32_t addressV4;                // "addressv4" (dotted-quad forms of inet_aton), 0 when missing/invalid
  std::uint32_t netmaskV4;                // "netmaskv4"
  std::uint32_t gatewayV4;                // "gatewayv4"
  std::uint32_t dnsServerV4;              // "dnsnameserver1v4"
  std::uint8_t dhcpV4;                    // "dhcpv4", 1 when missing
  std::uint8_t addressV6[16];             // "addressv6", unchanged when missing/invalid
  std::uint8_t prefixLengthV6;            // "netmaskv6", 0 when missing
  std::uint8_t dhcpV6;                    // "dhcpv6", 1 when missing
  std::uint16_t mtu;                      // "MTUsize", unchanged when missing or negative
};

// How long a main file must stay unreadable and untouched before it is
// replaced from the backup.
inline constexpr long long kNetRestoreSettleMs = 5000;

// Reads the configuration file into the table under the configuration lock.
// Sections whose name contains "netif" fill entries 0 to 5 in file order.
// When the main file cannot be loaded, the backup is loaded instead; the main
// file is replaced by a copy of the backup only when a later load finds the
// same version of it (same inode, size and times, or still missing) still
// unreadable kNetRestoreSettleMs after it was first found so, so that a read
// that raced a rewrite never throws the new file away. The two level-0 lines
// of the fallback are logged when it starts and again only when either file
// has changed, not with every load. Returns 1 when a file
// was read, 0 when neither could be (the table is then left as it was).
int LoadNetConfig();

// The interface name of an index ("eth0", "eth1", "wlan0", "bnep0", "wwan0",
// "eth2"); the empty text for 6, 7 and any index outside 0 to 5. Never null.
const char* net_GetInterfaceName(int index);

// The interface's current IPv4 address (network byte order), or 0 when the
// index has no name, the interface has no IPv4 address or the query fails.
std::uint32_t net_GetCurrentAddressV4(int index);

// Stores the n-th (0 = first) current IPv6 address of the interface, counting
// every interface whose name begins with the index's name ("eth0.vlan1"
// counts for "eth0"), or all zeros. When the system's address list cannot be
// read, prints "getifaddrs: ??? \n" on standard error and leaves out alone.
void net_GetCurrentAddressV6(std::uint8_t out[16], int n, int index);

// Dotted text "%d.%d.%d.%d" of the four bytes in memory order, in a buffer of
// the calling thread (kNetFormatV4Size bytes) that the thread's next call
// overwrites; safe from any thread.
const char* net_FormatAddressV4(std::uint32_t address);

// Writes the compressed text form of an IPv6 address ("::" for all zeros) into
// out, at most min(size, kNetFormatV6Size) - 1 characters, always terminated
// when size > 0.
void net_FormatAddressV6(char* out, std::size_t size, const std::uint8_t addr[16]);

// A consistent copy of entry index taken under the lock; a zero entry for an
// index outside 0 to 7.
NetIfConfig net_SnapshotConfig(int index);

// Clears the whole table and any restore in waiting (under the lock); for
// tests.
void net_ResetConfig();

// Sets the settle time of the restore; for tests.
void net_SetRestoreSettleMs(long long ms);
