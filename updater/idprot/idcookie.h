// Cookies of the identification protocol. A client proves that it receives
// at its source address by echoing a cookie the daemon sent there: the first
// kIdCookieSize bytes of HMAC-SHA256 over the address (16 bytes, IPv4 as
// IPv4-mapped) and the time slot (the monotonic clock in minutes, 8 bytes
// big-endian), keyed by random bytes drawn once per process. A cookie is
// valid in its slot and the next, for every port of its address; nobody
// who cannot receive at an address can have its cookie.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kIdCookieSize = 16;
inline constexpr long long kIdCookieSlotMs = 60000;

// The cookie of an address at time nowMs (monotonic milliseconds).
void idcookie_Make(const in6_addr& address, long long nowMs, std::uint8_t out[kIdCookieSize]);

// True when cookie is the address's cookie of the slot of nowMs or of the one
// before; all zero is never valid.
bool idcookie_Valid(const in6_addr& address, const std::uint8_t cookie[kIdCookieSize], long long nowMs);
