#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "kvid/kvid.h"

namespace kvid {

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

kv::Result<kv::Fd> OpenSocket(unsigned interfaceIndex, bool largeBuffer) {
  kv::Fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return kv::SystemError("cannot open a UDP socket");
  const int off = 0;
  (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
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
  Send(fd, target.address, ExtendedRequest(fixedPart, peer.cookie, nonce));
  int resends = 0;
  Outcome out;
  const long long deadline = NowMs() + timeoutMs;
  Datagram d;
  while (Receive(fd, deadline, d)) {
    if (d.from.sin6_port != target.address.sin6_port ||
        std::memcmp(&d.from.sin6_addr, &target.address.sin6_addr, sizeof d.from.sin6_addr) != 0)
      continue;  // another controller or a forger
    if (d.size > kMaxAnswerBytes) {
      out.malformed = "answer of " + std::to_string(d.size) + " bytes, longer than " + std::to_string(kMaxAnswerBytes);
      continue;
    }
    if (const auto cookie = DecodeCookieAnswer(d.data)) {
      // Only the controller that received our request knows its nonce.
      if (cookie->nonce != nonce || resends >= 2) continue;
      peer.cookie = cookie->cookie;
      peer.extended = true;
      ++resends;
      Send(fd, target.address, ExtendedRequest(fixedPart, peer.cookie, nonce));
      continue;
    }
    Judged j = judge(d.data, nonce);
    if (j.verdict == Verdict::kTake) {
      out.answer = std::move(d.data);
      return out;
    }
    if (j.verdict == Verdict::kMalformed) out.malformed = std::move(j.reason);
  }
  return out;
}

}  // namespace kvid
