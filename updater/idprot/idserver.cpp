#include "idprot/idserver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <unistd.h>

#include <errno.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/bounded.h"
#include "core/log.h"
#include "core/sleep.h"
#include "idprot/idcookie.h"
#include "idprot/idrefresh.h"

namespace {

constexpr std::array<int, 7> kInitOrder = {kIdIndexEth0,  kIdIndexEth1,      kIdIndexEth2,     kIdIndexWlan0,
                                           kIdIndexWwan0, kIdIndexEth0Vlan1, kIdIndexEth2Vlan1};
constexpr std::array<int, 7> kStartOrder = {kIdIndexEth0,      kIdIndexEth0Vlan1, kIdIndexEth1, kIdIndexEth2,
                                            kIdIndexEth2Vlan1, kIdIndexWlan0,     kIdIndexWwan0};

using ListenerArray = std::array<IdListener, kIdListenerCount>;

// The records live in static storage and are never destroyed: listener
// threads keep using them while the process runs its exit handlers.
ListenerArray& Listeners() {
  alignas(ListenerArray) static unsigned char storage[sizeof(ListenerArray)];
  static ListenerArray* listeners = new (storage) ListenerArray();
  return *listeners;
}
std::array<pthread_t, kIdListenerCount> gThreads{};

// Creates the socket, retrying every 10 ms while that fails.
void Bind(IdListener& l) {
  l.transport.boundIndex.store(0);
  while (idserver_CreateServer(l) == nullptr) kv_SleepMicroseconds(kIdPauseMicroseconds);
}

// Empties the event descriptor.
void Drain(const kv::Fd& wake) {
  std::uint64_t count = 0;
  (void)!::read(wake.get(), &count, sizeof count);
}

std::uint64_t NextRandom(IdListener& l) {
  if (l.random == 0 && ::getrandom(&l.random, sizeof l.random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof l.random))
    l.random = static_cast<std::uint64_t>(idguard_NowMs()) | 1;
  l.random ^= l.random << 13;
  l.random ^= l.random >> 7;
  l.random ^= l.random << 17;
  return l.random;
}

// True when the answer can leave at nowMs.
bool Ready(const IdPendingAnswer& a, long long nowMs, std::uint64_t generation) {
  return a.dueMs <= nowMs && a.needGeneration <= generation;
}

void Send(IdListener& l, const IdPendingAnswer& a, long long nowMs, const IdRefreshed& refreshed) {
  char out[kIdBufferSize + 1];
  int n = 0;
  if (a.cookie) {
    std::uint8_t cookie[kIdCookieSize];
    idcookie_Make(a.to.sin6_addr, nowMs, cookie);
    n = IdProt_BuildCookieAnswer(cookie, a.nonce, out, sizeof out);
  } else {
    IdAnswerFor what;
    what.kind = a.kind;
    what.interfaceIndex = l.transport.interfaceIndex;
    what.appRunning = refreshed.appRunning;
    what.withNonce = a.withNonce;
    std::memcpy(what.nonce, a.nonce, sizeof what.nonce);
    n = IdProt_BuildAnswer(what, out, sizeof out);
  }
  if (n > 0) idserver_Transmit(l, a.to, out, n);
}

// Answers one admitted datagram now, or queues its answer.
void Answer(IdListener& l, const IdExchange& x, const IdDatagram& d, IdGuardVerdict verdict, long long nowMs) {
  log_Print(1, "idserver_Receive, UDP packet received, %s, len %d\n", x.request, static_cast<int>(x.length));
  IdPendingAnswer a;
  a.to = x.sender;
  a.kind = d.kind;
  a.cookie = verdict == kIdAnswerCookie;
  a.withNonce = d.verified;
  std::memcpy(a.nonce, d.extension.nonce, sizeof a.nonce);
  a.dueMs = x.toGroup ? nowMs + static_cast<long long>(NextRandom(l) % kIdGroupDelayMs) : nowMs;
  if (!a.cookie && (d.kind == kIdRequestIdentification || d.kind == kIdRequestNetwork))
    a.needGeneration = idrefresh_Need();
  const IdRefreshed refreshed = idrefresh_Current();
  // An admitted answer is never lost: when the queue is full it leaves now,
  // with what the last refresh found.
  if (Ready(a, nowMs, refreshed.generation) || l.pendingCount >= kIdPendingCount)
    Send(l, a, nowMs, refreshed);
  else
    l.pending[l.pendingCount++] = a;
}

void* ListenerMain(void* arg) {
  IdListener& l = *static_cast<IdListener*>(arg);
  IdTransport& t = l.transport;
  const std::unique_ptr<IdExchange[]> batch(new (std::nothrow) IdExchange[kIdBatchSize]);
  IdExchange single;
  IdExchange* received = batch ? batch.get() : &single;
  const int capacity = batch ? kIdBatchSize : 1;
  Bind(l);
  for (;;) {
    std::fflush(stdout);
    long long now = idguard_NowMs();
    // Wait for a datagram, a wake-up, a pending answer's time, or the time a
    // drop report is due.
    const int due = idserver_ServeDue(l, now);
    const int report = idguard_ReportDelayMs(l.guard, now);
    const int timeout = due < 0 ? report : report < 0 ? due : (due < report ? due : report);
    pollfd fds[2] = {{t.socket.get(), POLLIN, 0}, {t.wake.get(), POLLIN, 0}};
    const int ready = ::poll(fds, t.wake ? 2 : 1, timeout);
    if (ready < 0) continue;  // interrupted
    now = idguard_NowMs();
    if (t.wake && (fds[1].revents & POLLIN) != 0) {
      Drain(t.wake);
      if (t.rebind.exchange(false)) {
        Bind(l);
        continue;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLERR)) != 0) {
      // What has arrived is read in batches, a bounded number of them before
      // the pending answers are looked at again.
      for (int round = 0; round < kIdBatchesPerWake; ++round) {
        const int n = idserver_Receive(l, received, capacity);
        if (n <= 0) break;
        idserver_Serve(l, received, n, idguard_NowMs());
        if (n < capacity) break;
      }
    }
    idguard_Report(l.guard, t.interfaceName, idguard_NowMs());
  }
  return nullptr;
}

// The kernel's index of an interface, 0 when there is none.
unsigned IndexOf(const char* name) { return ::if_nametoindex(name); }

// The kernel's index of an interface, asked over an open socket (one socket
// serves a whole pass); 0 when there is none.
unsigned IndexOf(const kv::Fd& socket, const char* name) {
  if (!socket) return 0;
  ifreq req{};
  std::strncpy(req.ifr_name, name, sizeof req.ifr_name - 1);
  return ::ioctl(socket.get(), SIOCGIFINDEX, &req) == 0 ? static_cast<unsigned>(req.ifr_ifindex) : 0;
}

// A failure of socket set-up: logged, socket closed, no record.
IdListener* Fail(IdListener& l, const char* message) {
  log_Print(2, "%s", message);
  l.transport.socket.reset();
  return nullptr;
}

}  // namespace

IdListener* IdProt_GetListener(int index) {
  if (index < 0 || index >= kIdListenerCount) return nullptr;
  return &Listeners()[static_cast<std::size_t>(index)];
}

void IdProt_Init() {
  for (int index : kInitOrder) {
    IdListener& l = Listeners()[static_cast<std::size_t>(index)];
    if (l.transport.started == 0) idserver_InitServer(l, index, IdProt_GetInterfaceName(index));
  }
  idrefresh_Start();
}

void idserver_InitServer(IdListener& listener, int index, const char* name) {
  IdTransport& t = listener.transport;
  kv::CopyBounded(t.interfaceName, name != nullptr ? name : "", 50);
  t.interfaceIndex = index;
  t.started = 0;
  log_PrintPriority(kPriorityDebug, 2, "idserver_InitServer, UDP server on %s \n", t.interfaceName);
}

int IdProt_StartUpListeningServers() {
  kv::Fd query;  // opened for the first started listener
  for (int index : kStartOrder) {
    IdListener& l = Listeners()[static_cast<std::size_t>(index)];
    IdTransport& t = l.transport;
    if (t.interfaceName[0] == '\0') continue;
    if (t.started != 0) {
      // An interface deleted and created again has a new index; the socket
      // still belongs to the old one and would never hear a request again.
      const unsigned bound = t.boundIndex.load();
      if (bound == 0 || !t.wake) continue;
      if (!query) query = kv::Fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      const unsigned now = IndexOf(query, t.interfaceName);
      if (now == 0 || now == bound || now == t.wokenIndex) continue;
      if (IdProt_IsInterfaceUp(t.interfaceName) != 1) continue;
      log_Print(2, "IdProt_StartUpListeningServers, %s is UP\n", t.interfaceName);
      t.rebind.store(true);
      const std::uint64_t one = 1;
      if (::write(t.wake.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) t.wokenIndex = now;
      continue;
    }
    if (IdProt_IsInterfaceUp(t.interfaceName) != 1) continue;
    log_Print(2, "IdProt_StartUpListeningServers, %s is UP\n", t.interfaceName);
    idserver_StartServer(l, index);
  }
  return 0;
}

void idserver_StartServer(IdListener& listener, int index) {
  if (index < 0 || index >= kIdListenerCount) return;
  IdTransport& t = listener.transport;
  pthread_t& thread = gThreads[static_cast<std::size_t>(index)];
  // Without an event descriptor the listener works as well, only it cannot
  // follow its interface to a new index and looks for ended refreshes only
  // when a datagram arrives.
  if (!t.wake) {
    t.wake = kv::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (t.wake) idrefresh_Subscribe(t.wake.get());
  }
  if (::pthread_create(&thread, nullptr, ListenerMain, &listener) != 0) {
    log_Print(3, "idserver_StartServer, %s Listener thread not created\n", t.interfaceName);
    return;
  }
  ::pthread_detach(thread);
  t.started = 1;
  log_PrintPriority(kPriorityDebug, 2, "idserver_StartServer, %s Listener thread started\n", t.interfaceName);
}

int IdProt_IsInterfaceUp(const char* name) {
  if (name == nullptr) return 0;
  kv::Fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return 0;
  ifreq req{};
  std::strncpy(req.ifr_name, name, sizeof req.ifr_name - 1);
  if (::ioctl(fd.get(), SIOCGIFFLAGS, &req) != 0) return 0;
  return (req.ifr_flags & IFF_UP) != 0 ? 1 : 0;
}

IdListener* idserver_CreateServer(IdListener& l) {
  IdTransport& t = l.transport;
  t.socket = kv::Fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!t.socket) return Fail(l, "idserver_CreateServer, failed to create socket \n");
  const int fd = t.socket.get();
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt1 \n");
  if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt2 \n");
  // The destination of IPv6 requests tells a multicast request; without it
  // every IPv6 request counts as unicast.
  (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  // Beyond the system's limit only with the privilege; otherwise the limit.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kIdReceiveBufferBytes, sizeof kIdReceiveBufferBytes) != 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kIdReceiveBufferBytes, sizeof kIdReceiveBufferBytes);

  ipv6_mreq group{};
  if (::inet_pton(AF_INET6, kIdMulticastGroup, &group.ipv6mr_multiaddr) == 1) {
    group.ipv6mr_interface = ::if_nametoindex(t.interfaceName);
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      log_Print(2, "idserver_CreateServer, unable to join multicast group %s on interface %s\n", kIdMulticastGroup,
                t.interfaceName);
    }
  }

  std::memset(t.deviceName, 0, sizeof t.deviceName);
  kv::CopyBounded(t.deviceName, t.interfaceName, 15);
  unsigned bound = IndexOf(t.deviceName);
  if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, t.deviceName, sizeof t.deviceName) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt3 \n");
#ifdef SO_BINDTOIFINDEX
  // What the socket is really bound to, in case the interface changed
  // between the look-up and the binding.
  int actual = 0;
  socklen_t actualLength = sizeof actual;
  if (::getsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &actual, &actualLength) == 0 && actual > 0)
    bound = static_cast<unsigned>(actual);
#endif

  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  local.sin6_addr = in6addr_any;
  local.sin6_port = htons(kIdPort);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    return Fail(l, "idserver_CreateServer, failed to bind socket \n");
  t.boundIndex.store(bound);
  return &l;
}

namespace {

// Room for the control data of one receive: the packet information of
// either family.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(in6_pktinfo));

// True when the control data say the datagram was sent to a group: an IPv6
// multicast address, or an IPv4 multicast or broadcast address (the header's
// destination is then not the local address the kernel would answer from).
bool SentToGroup(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      const std::uint32_t to = ntohl(info.ipi_addr.s_addr);
      if (IN_MULTICAST(to) || to == INADDR_BROADCAST || info.ipi_addr.s_addr != info.ipi_spec_dst.s_addr) return true;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      if (IN6_IS_ADDR_MULTICAST(&info.ipi6_addr)) return true;
    }
  }
  return false;
}

}  // namespace

int idserver_Receive(IdListener& l, IdExchange* batch, int count) {
  if (batch == nullptr || count <= 0) return 0;
  if (count > kIdBatchSize) count = kIdBatchSize;
  mmsghdr msgs[kIdBatchSize]{};
  iovec iov[kIdBatchSize];
  alignas(cmsghdr) unsigned char control[kIdBatchSize][kControlSize];
  for (int i = 0; i < count; ++i) {
    IdExchange& x = batch[i];
    iov[i] = iovec{x.request, kIdBufferSize};
    msghdr& m = msgs[i].msg_hdr;
    m.msg_name = &x.sender;
    m.msg_namelen = sizeof x.sender;
    m.msg_iov = &iov[i];
    m.msg_iovlen = 1;
    m.msg_control = control[i];
    m.msg_controllen = kControlSize;
  }
  const int n = ::recvmmsg(l.transport.socket.get(), msgs, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) std::perror("recvmsg()");
    return 0;
  }
  for (int i = 0; i < n; ++i) {
    IdExchange& x = batch[i];
    x.length = msgs[i].msg_len <= kIdBufferSize ? msgs[i].msg_len : kIdBufferSize;
    x.request[x.length] = '\0';
    x.toGroup = SentToGroup(msgs[i].msg_hdr);
  }
  return n;
}

void idserver_Serve(IdListener& l, const IdExchange* batch, int count, long long nowMs) {
  // Verified requests first: a flood in the same batch cannot delay them.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < count; ++i) {
      const IdExchange& x = batch[i];
      IdDatagram d;
      d.sender = x.sender;
      d.data = x.request;
      d.length = x.length;
      d.toGroup = x.toGroup;
      d.kind = IdProt_ClassifyRequest(x.request, x.length);
      d.extension = IdProt_ParseExtension(x.request, x.length, d.kind);
      d.verified = d.extension.present && idcookie_Valid(x.sender.sin6_addr, d.extension.cookie, nowMs);
      if (d.verified != (pass == 0)) continue;
      const IdGuardVerdict verdict = idguard_Check(l.guard, d, nowMs);
      if (verdict == kIdAnswerFull || verdict == kIdAnswerCookie) Answer(l, x, d, verdict, nowMs);
    }
  }
}

int idserver_ServeDue(IdListener& l, long long nowMs) {
  if (l.pendingCount == 0) return -1;
  const IdRefreshed refreshed = idrefresh_Current();
  long long next = -1;
  int kept = 0;
  for (int i = 0; i < l.pendingCount; ++i) {
    const IdPendingAnswer& a = l.pending[i];
    if (Ready(a, nowMs, refreshed.generation)) {
      Send(l, a, nowMs, refreshed);
      continue;
    }
    // Waiting for a refresh only: the refresh thread wakes the listener.
    if (a.dueMs > nowMs && (next < 0 || a.dueMs - nowMs < next)) next = a.dueMs - nowMs;
    l.pending[kept++] = a;
  }
  l.pendingCount = kept;
  // Without a wake-up from the refresh thread, look again every so often.
  if (kept > 0 && next < 0 && !l.transport.wake) next = 50;
  return static_cast<int>(next);
}

void idserver_Transmit(IdListener& l, const sockaddr_in6& to, const char* data, int len) {
  if (data == nullptr || len < 0) return;
  if (::sendto(l.transport.socket.get(), data, static_cast<std::size_t>(len), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
    std::perror("sendto()");
  }
  char peer[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET6, &to.sin6_addr, peer, sizeof peer);
  log_PrintPriority(kPriorityDebug, 2, "idserver_Transmit, UDP packet response sent to %s\n", peer);
  if (log_GetVerbose() >= 3) {
    // The answer as text up to its first NUL; an answer is not always
    // terminated where it ends.
    char text[kIdBufferSize + 1];
    kv::CopyBounded(text, std::string_view(data, static_cast<std::size_t>(len))
                              .substr(0, std::string_view(data, static_cast<std::size_t>(len)).find('\0')));
    log_PrintPriority(kPriorityDebug, 3, "idserver_Transmit, rsdp: %s\n", text);
  }
}
