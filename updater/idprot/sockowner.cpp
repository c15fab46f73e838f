#include "idprot/sockowner.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/handles.h"

namespace {

// The exact lookup of one socket by its two ends. The kernel looks the
// socket up as a packet from remote to local would find it: the connection
// with exactly these ends, else the listener on local.
kv::Result<TcpSocketOwner> AskKernel(const sockaddr_in& local, const sockaddr_in& remote, int timeoutMs) {
  kv::Fd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
  if (!fd) return kv::SystemError("socket diagnostics");
  struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  static_assert(sizeof request == NLMSG_LENGTH(sizeof(inet_diag_req_v2)));
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = local.sin_port;
  request.body.id.idiag_dport = remote.sin_port;
  request.body.id.idiag_src[0] = local.sin_addr.s_addr;
  request.body.id.idiag_dst[0] = remote.sin_addr.s_addr;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof request)) {
    return kv::SystemError("socket diagnostics request");
  }
  char reply[8192];
  for (;;) {
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs > 0 ? timeoutMs : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return kv::Error(ETIMEDOUT, "socket diagnostics: no answer");
    sockaddr_nl from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = ::recvfrom(fd.get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return kv::SystemError("socket diagnostics answer");
    if (from.nl_pid != 0) continue;  // only the kernel answers
    // The messages of the answer, each header copied out of the buffer (no
    // cast of a byte buffer to a header).
    const std::size_t total = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= total;) {
      nlmsghdr header{};
      std::memcpy(&header, reply + at, sizeof header);
      if (header.nlmsg_len < sizeof header || header.nlmsg_len > total - at) break;
      const char* data = reply + at + NLMSG_HDRLEN;
      at += NLMSG_ALIGN(header.nlmsg_len);
      const nlmsghdr* h = &header;
      if (h->nlmsg_seq != request.header.nlmsg_seq) continue;
      if (h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return kv::Error(EPROTO, "socket diagnostics: short error");
        nlmsgerr error{};
        std::memcpy(&error, data, sizeof error);
        const int code = error.error < 0 ? -error.error : EPROTO;
        if (code == ENOENT) return kv::Error(ENOENT, "no such socket");
        return kv::SystemError("socket diagnostics", code);
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      inet_diag_msg message{};
      std::memcpy(&message, data, sizeof message);
      // A lookup that found no connection with these ends falls back to the
      // listener: that is an answer only to the question about the listener.
      const bool listener = message.idiag_state == kTcpStateListen;
      const bool exact =
          message.idiag_family == AF_INET && message.id.idiag_sport == local.sin_port &&
          (listener ? (message.id.idiag_src[0] == local.sin_addr.s_addr || message.id.idiag_src[0] == INADDR_ANY)
                    : (message.id.idiag_src[0] == local.sin_addr.s_addr && message.id.idiag_dport == remote.sin_port &&
                       message.id.idiag_dst[0] == remote.sin_addr.s_addr));
      if (!exact) return kv::Error(ENOENT, "no such socket");
      TcpSocketOwner owner;
      owner.state = message.idiag_state;
      owner.uid = message.idiag_uid;
      owner.hasOwner = message.idiag_inode != 0;
      return owner;
    }
  }
}

// Any failure of the diagnostics other than "no such socket" means the
// interface cannot be used here (not built into the kernel, refused).
bool DiagnosticsUnavailable(const kv::Error& error) { return error.code() != ENOENT && error.code() != ETIMEDOUT; }

template <typename T>
bool Number(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return error == std::errc() && end == text.data() + text.size();
}

// "AAAAAAAA:PPPP": the address as the number its bytes make in memory, the
// port in host order.
bool Endpoint(std::string_view text, std::uint32_t& address, std::uint16_t& port) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && Number(text.substr(0, colon), address, 16) &&
         Number(text.substr(colon + 1), port, 16);
}

}  // namespace

kv::Result<TcpSocketOwner> sockowner_FindInTable(const char* table, const sockaddr_in& local,
                                                 const sockaddr_in* remote) {
  kv::File file = kv::OpenFile(table, "re");
  if (!file) return kv::SystemError(std::string("open ") + table);
  const std::uint16_t localPort = ntohs(local.sin_port);
  kv::Result<TcpSocketOwner> found = kv::Error(ENOENT, "no such socket");
  bool foundExactAddress = false;
  char line[512];
  bool header = true;
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    if (std::exchange(header, false)) continue;
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
    std::string_view fields[10];
    std::string_view rest(line);
    std::size_t count = 0;
    while (count < std::size(fields)) {
      const std::size_t start = rest.find_first_not_of(" \t\n");
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
      const std::size_t end = std::min(rest.find_first_of(" \t\n"), rest.size());
      fields[count++] = rest.substr(0, end);
      rest.remove_prefix(end);
    }
    std::uint32_t ownAddress = 0, otherAddress = 0;
    std::uint16_t ownPort = 0, otherPort = 0;
    unsigned state = 0;
    unsigned long uid = 0, inode = 0;
    if (count < std::size(fields) || !Endpoint(fields[1], ownAddress, ownPort) ||
        !Endpoint(fields[2], otherAddress, otherPort) || !Number(fields[3], state, 16) || !Number(fields[7], uid, 10) ||
        !Number(fields[9], inode, 10) || ownPort != localPort) {
      continue;
    }
    TcpSocketOwner owner;
    owner.state = static_cast<std::uint8_t>(state);
    owner.uid = static_cast<uid_t>(uid);
    owner.hasOwner = inode != 0;
    if (remote != nullptr) {
      if (ownAddress == local.sin_addr.s_addr && otherAddress == remote->sin_addr.s_addr &&
          otherPort == ntohs(remote->sin_port) && state != kTcpStateListen) {
        return owner;
      }
      continue;
    }
    // A listener on the address itself takes the connection ahead of one on
    // any address.
    if (state != kTcpStateListen || foundExactAddress) continue;
    if (ownAddress == local.sin_addr.s_addr) {
      found = owner;
      foundExactAddress = true;
    } else if (ownAddress == INADDR_ANY) {
      found = owner;
    }
  }
  return found;
}

kv::Result<TcpSocketOwner> sockowner_Find(const sockaddr_in& local, const sockaddr_in& remote, int timeoutMs) {
  kv::Result<TcpSocketOwner> owner = AskKernel(local, remote, timeoutMs);
  if (owner || !DiagnosticsUnavailable(owner.error())) {
    if (owner && owner.value().state == kTcpStateListen) return kv::Error(ENOENT, "no such socket");
    return owner;
  }
  return sockowner_FindInTable(kTcpTable, local, &remote);
}

kv::Result<TcpSocketOwner> sockowner_FindListener(const sockaddr_in& local, int timeoutMs) {
  // No connection has port 0 at its other end: the lookup goes on to the
  // listener that a connection from the local host would reach.
  sockaddr_in nobody{};
  nobody.sin_family = AF_INET;
  nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  kv::Result<TcpSocketOwner> owner = AskKernel(local, nobody, timeoutMs);
  if (owner || !DiagnosticsUnavailable(owner.error())) {
    if (owner && owner.value().state != kTcpStateListen) return kv::Error(ENOENT, "no listener");
    return owner;
  }
  return sockowner_FindInTable(kTcpTable, local, nullptr);
}
