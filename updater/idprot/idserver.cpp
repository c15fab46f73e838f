#include "idprot/idserver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/bounded.h"
#include "core/log.h"
#include "core/sleep.h"
#include "idprot/idrequest.h"

namespace {

constexpr std::array<const char*, kIdListenerCount> kNames = {"eth0",  "eth1", "wlan0",      "bnep0",
                                                              "wwan0", "eth2", "eth0.vlan1", "eth2.vlan1"};
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
DeviceIdData* gIdentity = nullptr;

// Creates the socket, retrying every 10 ms while that fails.
void Bind(IdListener& l) {
  l.boundIndex.store(0);
  while (idserver_CreateServer(l) == nullptr) kv_SleepMicroseconds(kIdPauseMicroseconds);
}

// Empties the event descriptor; true when the main thread asked for a new
// binding.
bool Woken(IdListener& l) {
  std::uint64_t count = 0;
  return l.wake && ::read(l.wake.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

void* ListenerMain(void* arg) {
  IdListener& l = *static_cast<IdListener*>(arg);
  Bind(l);
  for (;;) {
    std::fflush(stdout);
    // Wait for a datagram, a wake-up, or the time a drop report is due.
    pollfd fds[2] = {{l.socket.get(), POLLIN, 0}, {l.wake.get(), POLLIN, 0}};
    const int ready = ::poll(fds, l.wake ? 2 : 1, idguard_ReportDelayMs(l.guard, idguard_NowMs()));
    if (ready < 0) continue;  // interrupted
    if (ready == 0) {
      idguard_Report(l.guard, l.interfaceName, idguard_NowMs());
      continue;
    }
    if (l.wake && (fds[1].revents & POLLIN) != 0 && Woken(l)) {
      Bind(l);
      continue;
    }
    if ((fds[0].revents & (POLLIN | POLLERR)) == 0) continue;
    std::memset(l.rxBuffer, 0, 100);
    const int n = idserver_Receive(l, l.rxBuffer, static_cast<int>(kIdBufferSize));
    if (n == kIdReceiveDropped) {
      // A dropped datagram costs no answer and no pause.
      idguard_Report(l.guard, l.interfaceName, idguard_NowMs());
      continue;
    }
    // A failed receive has no sender to answer; it is not dispatched.
    if (n >= 0) {
      l.requestLength = static_cast<unsigned>(n);
      idserver_ServeOne(l);
    }
    kv_SleepMicroseconds(kIdPauseMicroseconds);
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
  l.socket.reset();
  return nullptr;
}

}  // namespace

const char* IdProt_GetInterfaceName(int index) {
  if (index < 0 || index >= kIdListenerCount) return "";
  return kNames[static_cast<std::size_t>(index)];
}

IdListener* IdProt_GetListener(int index) {
  if (index < 0 || index >= kIdListenerCount) return nullptr;
  return &Listeners()[static_cast<std::size_t>(index)];
}

void IdProt_Init() {
  gIdentity = &config_GetIdData();
  for (int index : kInitOrder) {
    IdListener& l = Listeners()[static_cast<std::size_t>(index)];
    if (l.started == 0) idserver_InitServer(l, index, kNames[static_cast<std::size_t>(index)]);
  }
}

void idserver_InitServer(IdListener& listener, int index, const char* name) {
  kv::CopyBounded(listener.interfaceName, name != nullptr ? name : "", 50);
  listener.interfaceIndex = index;
  listener.identity = gIdentity;
  listener.started = 0;
  listener.appRunning = 0;
  log_PrintPriority(kPriorityDebug, 2, "idserver_InitServer, UDP server on %s \n", listener.interfaceName);
}

int IdProt_StartUpListeningServers() {
  kv::Fd query;  // opened for the first started listener
  for (int index : kStartOrder) {
    IdListener& l = Listeners()[static_cast<std::size_t>(index)];
    if (l.interfaceName[0] == '\0') continue;
    if (l.started != 0) {
      // An interface deleted and created again has a new index; the socket
      // still belongs to the old one and would never hear a request again.
      const unsigned bound = l.boundIndex.load();
      if (bound == 0 || !l.wake) continue;
      if (!query) query = kv::Fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      const unsigned now = IndexOf(query, l.interfaceName);
      if (now == 0 || now == bound || now == l.wokenIndex) continue;
      if (IdProt_IsInterfaceUp(l.interfaceName) != 1) continue;
      log_Print(2, "IdProt_StartUpListeningServers, %s is UP\n", l.interfaceName);
      const std::uint64_t one = 1;
      if (::write(l.wake.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) l.wokenIndex = now;
      continue;
    }
    if (IdProt_IsInterfaceUp(l.interfaceName) != 1) continue;
    log_Print(2, "IdProt_StartUpListeningServers, %s is UP\n", l.interfaceName);
    idserver_StartServer(l, index);
  }
  return 0;
}

void idserver_StartServer(IdListener& listener, int index) {
  if (index < 0 || index >= kIdListenerCount) return;
  pthread_t& thread = gThreads[static_cast<std::size_t>(index)];
  // Without an event descriptor the listener works as well, only it cannot
  // follow its interface to a new index.
  if (!listener.wake) listener.wake = kv::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (::pthread_create(&thread, nullptr, ListenerMain, &listener) != 0) {
    log_Print(3, "idserver_StartServer, %s Listener thread not created\n", listener.interfaceName);
    return;
  }
  ::pthread_detach(thread);
  listener.started = 1;
  log_PrintPriority(kPriorityDebug, 2, "idserver_StartServer, %s Listener thread started\n", listener.interfaceName);
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
  l.socket = kv::Fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!l.socket) return Fail(l, "idserver_CreateServer, failed to create socket \n");
  const int on = 1;
  if (::setsockopt(l.socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt1 \n");
  if (::setsockopt(l.socket.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt2 \n");
  // Beyond the system's limit only with the privilege; otherwise the limit.
  if (::setsockopt(l.socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kIdReceiveBufferBytes, sizeof kIdReceiveBufferBytes) !=
      0)
    (void)::setsockopt(l.socket.get(), SOL_SOCKET, SO_RCVBUF, &kIdReceiveBufferBytes, sizeof kIdReceiveBufferBytes);

  ipv6_mreq group{};
  if (::inet_pton(AF_INET6, kIdMulticastGroup, &group.ipv6mr_multiaddr) == 1) {
    group.ipv6mr_interface = ::if_nametoindex(l.interfaceName);
    if (::setsockopt(l.socket.get(), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      log_Print(2, "idserver_CreateServer, unable to join multicast group %s on interface %s\n", kIdMulticastGroup,
                l.interfaceName);
    }
  }

  std::memset(l.deviceName, 0, sizeof l.deviceName);
  kv::CopyBounded(l.deviceName, l.interfaceName, 15);
  unsigned bound = IndexOf(l.deviceName);
  if (::setsockopt(l.socket.get(), SOL_SOCKET, SO_BINDTODEVICE, l.deviceName, sizeof l.deviceName) != 0)
    return Fail(l, "idserver_CreateServer, failed to setsockopt3 \n");
#ifdef SO_BINDTOIFINDEX
  // What the socket is really bound to, in case the interface changed
  // between the look-up and the binding.
  int actual = 0;
  socklen_t actualLength = sizeof actual;
  if (::getsockopt(l.socket.get(), SOL_SOCKET, SO_BINDTOIFINDEX, &actual, &actualLength) == 0 && actual > 0)
    bound = static_cast<unsigned>(actual);
#endif

  l.localAddress = sockaddr_in6{};
  l.localAddress.sin6_family = AF_INET6;
  l.localAddress.sin6_addr = in6addr_any;
  l.localAddress.sin6_port = htons(kIdPort);
  if (::bind(l.socket.get(), reinterpret_cast<const sockaddr*>(&l.localAddress), sizeof l.localAddress) != 0)
    return Fail(l, "idserver_CreateServer, failed to bind socket \n");
  l.boundIndex.store(bound);
  return &l;
}

int idserver_Receive(IdListener& l, char* buffer, int size) {
  if (size <= 0) return -1;
  iovec iov{buffer, static_cast<std::size_t>(size)};
  msghdr msg{};
  msg.msg_name = &l.senderAddress;
  msg.msg_namelen = sizeof l.senderAddress;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = l.control;
  msg.msg_controllen = sizeof l.control;
  const ssize_t n = ::recvmsg(l.socket.get(), &msg, 0);
  if (n < 0) {
    std::perror("recvmsg()");
    return -1;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      l.requestDestination = info.ipi_addr;
      ::inet_ntop(AF_INET, &l.requestDestination, l.requestDestinationText, sizeof l.requestDestinationText);
    }
  }
  buffer[n] = '\0';
  const std::size_t len = static_cast<std::size_t>(n);
  if (idguard_Check(l.guard, l.senderAddress, buffer, len, IdProt_ClassifyRequest(buffer, len), idguard_NowMs()) !=
      kIdAdmit)
    return kIdReceiveDropped;
  log_Print(1, "idserver_Receive, UDP packet received, %s, len %d\n", buffer, static_cast<int>(n));
  return static_cast<int>(n);
}

void idserver_Transmit(IdListener& l, const char* data, int len) {
  if (data == nullptr || len < 0) return;
  if (::sendto(l.socket.get(), data, static_cast<std::size_t>(len), 0,
               reinterpret_cast<const sockaddr*>(&l.senderAddress), sizeof l.senderAddress) < 0) {
    std::perror("sendto()");
  }
  char peer[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET6, &l.senderAddress.sin6_addr, peer, sizeof peer);
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

void idserver_ServeOne(IdListener& listener) {
  IdProt_Dispatch(listener);
  listener.appRunning = 0;
}
