#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "kvid/kvid.h"

namespace kvid {

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string AddressText(const sockaddr_in6& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
    ::inet_ntop(AF_INET, a.sin6_addr.s6_addr + 12, text, sizeof text);
  } else {
    ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
  }
  return text;
}

kv::Result<Target> MakeTarget(const std::string& text, unsigned interfaceIndex, int port) {
  Target out;
  out.text = text;
  out.address.sin6_family = AF_INET6;
  out.address.sin6_port = htons(static_cast<std::uint16_t>(port));
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    out.address.sin6_addr.s6_addr[10] = 0xFF;
    out.address.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(out.address.sin6_addr.s6_addr + 12, &v4, 4);
    return out;
  }
  if (::inet_pton(AF_INET6, text.c_str(), &out.address.sin6_addr) != 1)
    return kv::Error(0, "not an address: '" + text + "'");
  if (IN6_IS_ADDR_MULTICAST(&out.address.sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&out.address.sin6_addr))
    out.address.sin6_scope_id = interfaceIndex;
  return out;
}

namespace {

struct AddrinfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};
using Addrinfo = std::unique_ptr<addrinfo, AddrinfoFree>;

struct IfaddrsFree {
  void operator()(ifaddrs* a) const { ::freeifaddrs(a); }
};
using Ifaddrs = std::unique_ptr<ifaddrs, IfaddrsFree>;

// The target of one resolved address (IPv4 as IPv4-mapped); the scope of a
// link-local or multicast IPv6 address is the one written after '%', else
// interfaceIndex.
Target FromSockaddr(const sockaddr* sa, unsigned interfaceIndex, int port) {
  Target out;
  out.address.sin6_family = AF_INET6;
  out.address.sin6_port = htons(static_cast<std::uint16_t>(port));
  if (sa->sa_family == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, sa, sizeof v4);
    out.address.sin6_addr.s6_addr[10] = 0xFF;
    out.address.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(out.address.sin6_addr.s6_addr + 12, &v4.sin_addr, 4);
  } else {
    sockaddr_in6 v6{};
    std::memcpy(&v6, sa, sizeof v6);
    out.address.sin6_addr = v6.sin6_addr;
    if (IN6_IS_ADDR_MULTICAST(&v6.sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr))
      out.address.sin6_scope_id = v6.sin6_scope_id != 0 ? v6.sin6_scope_id : interfaceIndex;
  }
  out.text = AddressText(out.address);
  return out;
}

}  // namespace

kv::Result<std::vector<Target>> ResolveTargets(const std::string& name, unsigned interfaceIndex, int port, int family) {
  const char* const kFamily = family == AF_INET ? "IPv4 " : (family == AF_INET6 ? "IPv6 " : "");
  if (name.empty()) return kv::Error(0, "an empty address");
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  // A numeric address never asks the resolver (no name service is waited
  // for); a name is looked up as every other program on the laptop would.
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* raw = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &raw);
  if (rc != 0) {
    in6_addr any{};
    const bool numeric =
        ::inet_pton(AF_INET6, name.c_str(), &any) == 1 || ::inet_pton(AF_INET, name.c_str(), &any) == 1;
    if (numeric || name.find('%') != std::string::npos)
      return kv::Error(0, "not an " + std::string(kFamily) + "address: '" + name + "'");
    hints.ai_flags = 0;
    rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &raw);
  }
  const Addrinfo list(raw);
  if (rc != 0) {
    const char* why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return kv::Error(0, "cannot resolve '" + name + "'" +
                            (*kFamily != '\0' ? std::string(" to an ") + kFamily + "address" : "") + ": " + why);
  }
  std::vector<Target> out;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    Target t = FromSockaddr(a->ai_addr, interfaceIndex, port);
    const bool seen = std::any_of(out.begin(), out.end(), [&](const Target& o) {
      return std::memcmp(&o.address.sin6_addr, &t.address.sin6_addr, sizeof t.address.sin6_addr) == 0;
    });
    if (!seen) out.push_back(std::move(t));
  }
  if (out.empty()) return kv::Error(0, "cannot resolve '" + name + "': no " + kFamily + "address");
  return out;
}

std::vector<Target> BroadcastTargets(unsigned interfaceIndex, int port) {
  std::vector<Target> out;
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return out;
  const Ifaddrs list(raw);
  for (const ifaddrs* a = list.get(); a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_netmask == nullptr ||
        (a->ifa_flags & IFF_BROADCAST) == 0 || a->ifa_name == nullptr ||
        ::if_nametoindex(a->ifa_name) != interfaceIndex)
      continue;
    // The network's broadcast address from the address and its mask: an
    // address configured without "brd" has none of its own, and the C
    // library then gives the address itself in its place.
    sockaddr_in address{}, mask{};
    std::memcpy(&address, a->ifa_addr, sizeof address);
    std::memcpy(&mask, a->ifa_netmask, sizeof mask);
    const std::uint32_t hostBits = ~ntohl(mask.sin_addr.s_addr);
    if (hostBits < 3) continue;  // a /31 or /32 has no broadcast address
    address.sin_addr.s_addr = htonl(ntohl(address.sin_addr.s_addr) | hostBits);
    Target t = FromSockaddr(reinterpret_cast<const sockaddr*>(&address), interfaceIndex, port);
    const bool seen = std::any_of(out.begin(), out.end(), [&](const Target& o) { return o.text == t.text; });
    if (!seen) out.push_back(std::move(t));
  }
  return out;
}

kv::Result<kv::Fd> OpenSocket(unsigned interfaceIndex, bool largeBuffer, bool broadcast) {
  kv::Fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return kv::SystemError("cannot open a UDP socket");
  const int off = 0;
  (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  const int on = 1;
  if (broadcast && ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    return kv::SystemError("cannot send broadcast");
  if (largeBuffer &&
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  if (interfaceIndex != 0 &&
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex, sizeof interfaceIndex) != 0) {
    return kv::SystemError("cannot send multicast on that interface");
  }
  return fd;
}

bool Receive(const kv::Fd& socket, long long deadlineMs, Datagram& out) {
  for (;;) {
    const long long left = deadlineMs - NowMs();
    if (left <= 0) return false;
    pollfd p{socket.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return false;
    // One byte more than an answer may have, and MSG_TRUNC for the whole
    // length: a longer datagram is seen as such, never read in full.
    std::array<char, kMaxAnswerBytes + 1> buf{};
    socklen_t len = sizeof out.from;
    const ssize_t n =
        ::recvfrom(socket.get(), buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&out.from), &len);
    if (n < 0) continue;  // e.g. an ICMP error of an earlier send
    out.size = static_cast<std::size_t>(n);
    out.data.assign(buf.data(), std::min(out.size, buf.size()));
    return true;
  }
}

void Send(const kv::Fd& socket, const sockaddr_in6& to, std::string_view data) {
  (void)::sendto(socket.get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

kv::Result<Outcome> Exchange(const Target& target, unsigned interfaceIndex, std::string_view fixedPart, Peer& peer,
                             int timeoutMs, const Judge& judge) {
  // A fresh socket, a new ephemeral port: nothing queued for an earlier
  // request (or sprayed at a port before we asked) can be read as this answer.
  auto opened = OpenSocket(interfaceIndex, false);
  if (!opened) return opened.error();
  const kv::Fd fd = std::move(opened).value();
  const Nonce nonce = NewNonce();
  Note("asking " + target.text);
  Send(fd, target.address, ExtendedRequest(fixedPart, peer.cookie, nonce));
  int resends = 0;
  Outcome out;
  const long long deadline = NowMs() + timeoutMs;
  Datagram d;
  while (Receive(fd, deadline, d)) {
    if (d.from.sin6_port != target.address.sin6_port ||
        std::memcmp(&d.from.sin6_addr, &target.address.sin6_addr, sizeof d.from.sin6_addr) != 0) {
      Note("passed over a datagram from " + AddressText(d.from) + " port " + std::to_string(ntohs(d.from.sin6_port)) +
           ": not the address and port asked");
      continue;  // another controller or a forger
    }
    if (d.size > kMaxAnswerBytes) {
      out.malformed = "answer of " + std::to_string(d.size) + " bytes, longer than " + std::to_string(kMaxAnswerBytes);
      continue;
    }
    if (const auto cookie = DecodeCookieAnswer(d.data)) {
      // Only the controller that received our request knows its nonce.
      if (cookie->nonce != nonce || resends >= 2) {
        Note("passed over a cookie answer from " + target.text +
             (resends >= 2 ? ": asked twice with a cookie already" : ": not our nonce"));
        continue;
      }
      peer.cookie = cookie->cookie;
      peer.extended = true;
      ++resends;
      Note("cookie answer from " + target.text + ", asking again with it");
      Send(fd, target.address, ExtendedRequest(fixedPart, peer.cookie, nonce));
      continue;
    }
    Judged j = judge(d.data, nonce);
    if (j.verdict == Verdict::kTake) {
      out.answer = std::move(d.data);
      return out;
    }
    if (j.verdict == Verdict::kMalformed) {
      Note("malformed answer from " + target.text + ": " + j.reason);
      out.malformed = std::move(j.reason);
    } else {
      Note("passed over an answer from " + target.text + ": " + (j.reason.empty() ? "not fresh" : j.reason));
    }
  }
  return out;
}

}  // namespace kvid
