#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kvid/kvid.h"

namespace kvid {
namespace {

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

}  // namespace

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

kv::Result<kv::Fd> OpenSocket(unsigned interfaceIndex) {
  kv::Fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return kv::SystemError("cannot open a UDP socket");
  const int off = 0;
  (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  if (interfaceIndex != 0 &&
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex, sizeof interfaceIndex) != 0) {
    return kv::SystemError("cannot send multicast on that interface");
  }
  return fd;
}

std::vector<Answer> Ask(const kv::Fd& socket, const std::vector<Target>& targets, std::string_view data, int timeoutMs,
                        std::size_t stopAfter, From from) {
  // The port asked; with several targets they all share it.
  const std::uint16_t port = targets.empty() ? 0 : targets.front().address.sin6_port;
  auto accepted = [&](const sockaddr_in6& sender) {
    if (from == From::kPort) return sender.sin6_port == port;
    for (const Target& t : targets) {
      if (sender.sin6_port == t.address.sin6_port &&
          std::memcmp(&sender.sin6_addr, &t.address.sin6_addr, sizeof sender.sin6_addr) == 0)
        return true;
    }
    return false;
  };
  const int fd = socket.get();
  std::vector<Answer> answers;
  for (const Target& t : targets) {
    (void)::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&t.address), sizeof t.address);
  }
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    const long long left = deadline - NowMs();
    if (left <= 0 || (stopAfter > 0 && answers.size() >= stopAfter)) break;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) break;
    char buf[65536];
    sockaddr_in6 sender{};
    socklen_t len = sizeof sender;
    const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n < 0) continue;  // e.g. an ICMP error of an earlier send
    if (!accepted(sender)) continue;
    answers.push_back(Answer{AddressText(sender), std::string(buf, static_cast<std::size_t>(n))});
  }
  return answers;
}

}  // namespace kvid
