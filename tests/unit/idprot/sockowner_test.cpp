// The owner of the far end of a local TCP connection, on real sockets: what
// the socket diagnostics say at each stage of a connection's life, and that
// the table fallback says the same.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/handles.h"
#include "idprot/sockowner.h"
#include "support/capture.h"

namespace {

constexpr uid_t kOther = 54321;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr_in Name(int fd, bool peer = false) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (peer)
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  else
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return a;
}

// A socket created under the file-system uid given: its owner for the kernel.
kv::Fd SocketAs(uid_t uid) {
  (void)::setfsuid(uid);
  kv::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  (void)::setfsuid(::geteuid());
  return fd;
}

kv::Fd Listen(uid_t uid) {
  kv::Fd fd = SocketAs(uid);
  const sockaddr_in any = Loopback(0);
  if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 || ::listen(fd.get(), 4) != 0)
    return {};
  return fd;
}

// Both lookups agree, whichever of the two the kernel offers.
void ExpectSame(const sockaddr_in& local, const sockaddr_in* remote, const char* what) {
  const kv::Result<TcpSocketOwner> asked =
      remote ? sockowner_Find(local, *remote, 1000) : sockowner_FindListener(local, 1000);
  const kv::Result<TcpSocketOwner> read = sockowner_FindInTable(kTcpTable, local, remote);
  ASSERT_EQ(asked.ok(), read.ok()) << what;
  if (!asked) return;
  EXPECT_EQ(asked.value().state, read.value().state) << what;
  EXPECT_EQ(asked.value().hasOwner, read.value().hasOwner) << what;
  if (asked.value().hasOwner) {
    EXPECT_EQ(asked.value().uid, read.value().uid) << what;
  }
}

TEST(SockOwner, FarEndOfOneConnectionThroughItsLife) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create sockets of another user";
  for (const uid_t owner : {uid_t{0}, kOther}) {
    kv::Fd listener = Listen(owner);
    ASSERT_TRUE(listener);
    const sockaddr_in server = Name(listener.get());
    kv::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    const sockaddr_in mine = Name(client.get());

    kv::Result<TcpSocketOwner> listening = sockowner_FindListener(server, 1000);
    ASSERT_TRUE(listening) << listening.error().message();
    EXPECT_EQ(listening.value().state, kTcpStateListen);
    EXPECT_TRUE(listening.value().hasOwner);
    EXPECT_EQ(listening.value().uid, owner);
    ExpectSame(server, nullptr, "listener");

    // In the listener's queue nobody holds the far end yet.
    kv::Result<TcpSocketOwner> queued = sockowner_Find(server, mine, 1000);
    ASSERT_TRUE(queued) << queued.error().message();
    EXPECT_NE(queued.value().state, kTcpStateListen);
    EXPECT_FALSE(queued.value().hasOwner);
    ExpectSame(server, &mine, "queued");

    // Taken by the listener's user: now the far end shows its owner.
    (void)::setfsuid(owner);
    kv::Fd taken(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    (void)::setfsuid(::geteuid());
    ASSERT_TRUE(taken);
    kv::Result<TcpSocketOwner> held = sockowner_Find(server, mine, 1000);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held.value().hasOwner);
    EXPECT_EQ(held.value().uid, owner);
    ExpectSame(server, &mine, "held");

    // Another connection's far end, or our own end asked the wrong way round,
    // is not this connection's.
    sockaddr_in elsewhere = mine;
    elsewhere.sin_port = htons(static_cast<std::uint16_t>(ntohs(mine.sin_port) ^ 1));
    kv::Result<TcpSocketOwner> other = sockowner_Find(server, elsewhere, 1000);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().code(), ENOENT);
    ExpectSame(server, &elsewhere, "elsewhere");

    // Closed by its process: what is left has no owner to show.
    taken.reset();
    char byte;
    pollfd p{client.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_EQ(::recv(client.get(), &byte, 1, 0), 0);
    kv::Result<TcpSocketOwner> closed = sockowner_Find(server, mine, 1000);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed.value().hasOwner);
  }
  // No listener at all.
  kv::Fd listener = Listen(0);
  const sockaddr_in gone = Name(listener.get());
  listener.reset();
  EXPECT_FALSE(sockowner_FindListener(gone, 1000));
}

TEST(SockOwner, TableRows) {
  kvtest::TempDir dir;
  const std::string table = dir.path() + "/tcp";
  // 127.0.0.1:4006 with connections from ports 40000 and 40001, the remains
  // of one from 40002, and listeners on any address and on 127.0.0.1.
  kvtest::WriteFile(table,
                    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
                    "inode\n"
                    "   0: 00000000:0FA6 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 11 1 "
                    "0 100 0 0 10 0\n"
                    "   1: 0100007F:0FA6 00000000:0000 0A 00000000:00000000 00:00000000 00000000    77        0 12 1 "
                    "0 100 0 0 10 0\n"
                    "   2: 0100007F:0FA6 0100007F:9C40 01 00000000:00000000 00:00000000 00000000    77        0 13 1 "
                    "0 20 4 30 10 -1\n"
                    "   3: 0100007F:0FA6 0100007F:9C41 01 00000000:00000000 00:00000000 00000000     0        0 0 1 "
                    "0 20 4 30 10 -1\n"
                    "   4: 0100007F:0FA6 0100007F:9C42 06 00000000:00000000 03:00000F9A 00000000     0        0 0 3 "
                    "0000000000000000\n"
                    "   5: 0100007F:9C40 0100007F:0FA6 01 00000000:00000000 00:00000000 00000000     0        0 14 1 "
                    "0 20 4 30 10 -1\n");
  const sockaddr_in server = Loopback(4006);
  struct Case {
    std::uint16_t port;  // 0: the listener
    bool found;
    std::uint8_t state;
    bool hasOwner;
    uid_t uid;
  };
  const Case cases[] = {
      {0, true, kTcpStateListen, true, 77},  // the listener on 127.0.0.1 ahead of the one on any address
      {40000, true, 1, true, 77},           {40001, true, 1, false, 0}, {40002, true, kTcpStateTimeWait, false, 0},
      {40003, false, 0, false, 0},
  };
  for (const Case& c : cases) {
    const sockaddr_in remote = Loopback(c.port);
    const kv::Result<TcpSocketOwner> got = sockowner_FindInTable(table.c_str(), server, c.port ? &remote : nullptr);
    ASSERT_EQ(got.ok(), c.found) << c.port;
    if (!got) continue;
    EXPECT_EQ(got.value().state, c.state) << c.port;
    EXPECT_EQ(got.value().hasOwner, c.hasOwner) << c.port;
    if (c.hasOwner) {
      EXPECT_EQ(got.value().uid, c.uid) << c.port;
    }
  }
  EXPECT_FALSE(sockowner_FindInTable((dir.path() + "/missing").c_str(), server, nullptr));
}

}  // namespace
