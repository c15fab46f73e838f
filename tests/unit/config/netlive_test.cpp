// Live interface queries against real interfaces in a network namespace of
// the test's own: veth pairs named eth0/eth1 and eth0.vlan1/peer, with IPv4
// and IPv6 addresses. Nothing of the host's network is touched.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config/netconfig.h"

namespace {

std::vector<std::uint8_t> V6(const char* text) {
  in6_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET6, text, &a), 1) << text;
  return {a.s6_addr, a.s6_addr + 16};
}

std::vector<std::uint8_t> CurrentV6(int n, int index) {
  std::uint8_t out[16];
  std::memset(out, 0xAA, sizeof out);
  net_GetCurrentAddressV6(out, n, index);
  return {out, out + 16};
}

class NetLiveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The namespace belongs to this test process (its main thread and the
    // commands it starts) and disappears with it. The links stay down, so the
    // kernel adds no link-local addresses and the address list is exactly
    // what is set up here.
    if (::unshare(CLONE_NEWNET) != 0) return;
    const char* commands[] = {
        "ip link add eth0 type veth peer name eth1",
        "ip link add eth0.vlan1 type veth peer name vpeer",
        "ip addr add 10.20.30.40/24 dev eth0",
        "ip -6 addr add 2001:db8::1/64 dev eth0 nodad",
        "ip -6 addr add 2001:db8:1::7/64 dev eth0.vlan1 nodad",
        "ip -6 addr add fd00::2/64 dev eth1 nodad",
    };
    for (const char* c : commands) {
      const std::string line = std::string(c) + " >/dev/null 2>&1";
      if (std::system(line.c_str()) != 0) return;
    }
    ready_ = true;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "needs root to create a network namespace with veth interfaces";
  }
  static bool ready_;
};
bool NetLiveTest::ready_ = false;

TEST_F(NetLiveTest, CurrentIPv4Address) {
  struct Case {
    int index;
    const char* address;  // null: 0
  };
  const Case cases[] = {{0, "10.20.30.40"}, {1, nullptr}, {2, nullptr}, {6, nullptr}, {99, nullptr}};
  for (const Case& c : cases) {
    const std::uint32_t got = net_GetCurrentAddressV4(c.index);
    if (c.address == nullptr) {
      EXPECT_EQ(got, 0u) << c.index;
    } else {
      EXPECT_STREQ(net_FormatAddressV4(got), c.address) << c.index;
    }
  }
}

TEST_F(NetLiveTest, CurrentIPv6AddressesCountInterfacesByNamePrefix) {
  // eth0 and eth0.vlan1 both count for eth0, in the order the system lists
  // them; a third address does not exist.
  const std::set<std::vector<std::uint8_t>> eth0 = {CurrentV6(0, 0), CurrentV6(1, 0)};
  EXPECT_EQ(eth0, (std::set<std::vector<std::uint8_t>>{V6("2001:db8::1"), V6("2001:db8:1::7")}));
  EXPECT_EQ(CurrentV6(2, 0), V6("::"));

  EXPECT_EQ(CurrentV6(0, 1), V6("fd00::2"));
  EXPECT_EQ(CurrentV6(1, 1), V6("::"));  // one address only
  EXPECT_EQ(CurrentV6(0, 2), V6("::"));  // no wlan0
  EXPECT_EQ(CurrentV6(0, 7), V6("::"));  // no name
}

}  // namespace
