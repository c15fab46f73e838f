#include "config/netconfig.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/paths.h"
#include "support/capture.h"

namespace {

using kvtest::FileExists;
using kvtest::ReadFile;
using kvtest::SyslogCapture;
using kvtest::TempDir;
using kvtest::WriteFile;

std::uint32_t V4(const char* text) {
  in_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET, text, &a), 1) << text;
  return a.s_addr;
}

std::vector<std::uint8_t> V6(const char* text) {
  in6_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET6, text, &a), 1) << text;
  return {a.s6_addr, a.s6_addr + 16};
}

std::vector<std::uint8_t> Bytes(const std::uint8_t (&a)[16]) { return {a, a + 16}; }

class NetConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!syslog_.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
    paths_SetRoot(dir_.path());
    for (const char* d : {"/opt", "/opt/kv2", "/opt/kv2/etc"}) ::mkdir((dir_.path() + d).c_str(), 0755);
    net_ResetConfig();
  }
  void TearDown() override { paths_SetRoot(""); }
  std::string MainPath() const { return dir_.path() + "/opt/kv2/etc/netinterfaces.config"; }
  std::string BackupPath() const { return dir_.path() + "/opt/kv2/etc/netinterfaces.bak"; }
  int LoadMain(const std::string& content) {
    WriteFile(MainPath(), content);
    return LoadNetConfig();
  }

  TempDir dir_;
  SyslogCapture syslog_;
};

TEST_F(NetConfigTest, NetifSectionsFillEntriesByOrderNotByName) {
  ASSERT_EQ(LoadMain("[general]\nx = 1\n[netif_wlan0]\ndescription = first\n[other]\n"
                     "[NetIf1]\ndescription = second\n"),
            1);
  const NetIfConfig e0 = net_SnapshotConfig(0);
  const NetIfConfig e1 = net_SnapshotConfig(1);
  EXPECT_STREQ(e0.description, "first");
  EXPECT_STREQ(e0.interfaceName, "eth0");
  EXPECT_STREQ(e1.description, "second");
  EXPECT_STREQ(e1.interfaceName, "eth1");
  EXPECT_STREQ(net_SnapshotConfig(2).interfaceName, "");

  // Seven netif sections: the seventh is ignored; entries 6 and 7 stay zero.
  std::string seven;
  for (int i = 0; i < 7; ++i) seven += "[netif" + std::to_string(i) + "]\ndescription = d" + std::to_string(i) + "\n";
  ASSERT_EQ(LoadMain(seven), 1);
  const char* names[] = {"eth0", "eth1", "wlan0", "bnep0", "wwan0", "eth2"};
  for (int i = 0; i < 6; ++i) {
    const NetIfConfig e = net_SnapshotConfig(i);
    EXPECT_EQ(std::string(e.description), "d" + std::to_string(i));
    EXPECT_STREQ(e.interfaceName, names[i]);
  }
  const NetIfConfig zero{};
  for (int i : {6, 7, 8, -1}) {
    const NetIfConfig e = net_SnapshotConfig(i);
    EXPECT_EQ(std::memcmp(&e, &zero, sizeof e), 0) << i;
  }
}

TEST_F(NetConfigTest, ValueConversions) {
  struct Case {
    const char* what;
    const char* keys;  // lines of section [netif0]
    void (*check)(const NetIfConfig&);
  };
  const Case cases[] = {
      {"missing keys", "",
       [](const NetIfConfig& e) {
         EXPECT_STREQ(e.description, "");
         EXPECT_EQ(e.addressV4, 0u);
         EXPECT_EQ(e.dhcpV4, 1);
         EXPECT_EQ(e.dhcpV6, 1);
         EXPECT_EQ(e.prefixLengthV6, 0);
       }},
      {"IPv4 addresses",
       "addressv4 = 192.168.10.20\nnetmaskv4 = 255.255.255.0\ngatewayv4 = 192.168.10.1\ndnsnameserver1v4 = 8.8.4.4\n",
       [](const NetIfConfig& e) {
         EXPECT_EQ(e.addressV4, V4("192.168.10.20"));
         EXPECT_EQ(e.netmaskV4, V4("255.255.255.0"));
         EXPECT_EQ(e.gatewayV4, V4("192.168.10.1"));
         EXPECT_EQ(e.dnsServerV4, V4("8.8.4.4"));
       }},
      {"invalid IPv4 gives 0", "addressv4 = 1.2.3.4.5\nnetmaskv4 = 300.1.1.1\ngatewayv4 =\n",
       [](const NetIfConfig& e) {
         EXPECT_EQ(e.addressV4, 0u);
         EXPECT_EQ(e.netmaskV4, 0u);
         EXPECT_EQ(e.gatewayV4, 0u);
       }},
      {"dhcpv4 no", "dhcpv4 = no\ndhcpv6 = False\n",
       [](const NetIfConfig& e) {
         EXPECT_EQ(e.dhcpV4, 0);
         EXPECT_EQ(e.dhcpV6, 0);
       }},
      {"dhcpv4 maybe", "dhcpv4 = maybe\ndhcpv6 = yes\n",
       [](const NetIfConfig& e) {
         EXPECT_EQ(e.dhcpV4, 1);
         EXPECT_EQ(e.dhcpV6, 1);
       }},
      {"MTU in hex and prefix length", "MTUsize = 0x5DC\nnetmaskv6 = 64\n",
       [](const NetIfConfig& e) {
         EXPECT_EQ(e.mtu, 1500);
         EXPECT_EQ(e.prefixLengthV6, 64);
       }},
      {"octal MTU", "MTUsize = 02734\n", [](const NetIfConfig& e) { EXPECT_EQ(e.mtu, 1500); }},
      {"bracketed IPv6", "addressv6 = [2001:db8::5]\n",
       [](const NetIfConfig& e) { EXPECT_EQ(Bytes(e.addressV6), V6("2001:db8::5")); }},
      {"plain IPv6", "addressv6 = 2001:db8::5\n",
       [](const NetIfConfig& e) { EXPECT_EQ(Bytes(e.addressV6), V6("2001:db8::5")); }},
      {"description cut to 49", "description = 0123456789012345678901234567890123456789012345678901234\n",
       [](const NetIfConfig& e) { EXPECT_STREQ(e.description, "0123456789012345678901234567890123456789012345678"); }},
  };
  for (const Case& c : cases) {
    net_ResetConfig();
    ASSERT_EQ(LoadMain(std::string("[netif0]\n") + c.keys), 1) << c.what;
    SCOPED_TRACE(c.what);
    c.check(net_SnapshotConfig(0));
  }
}

TEST_F(NetConfigTest, MissingNegativeOrInvalidValuesLeaveMtuAndIPv6Unchanged) {
  ASSERT_EQ(LoadMain("[netif0]\nMTUsize = 1400\naddressv6 = fd00::1\n"), 1);
  for (const char* keys : {"MTUsize = -1\naddressv6 = nonsense\n", "addressv6 = []\n", ""}) {
    ASSERT_EQ(LoadMain(std::string("[netif0]\n") + keys), 1) << keys;
    const NetIfConfig e = net_SnapshotConfig(0);
    EXPECT_EQ(e.mtu, 1400) << keys;
    EXPECT_EQ(Bytes(e.addressV6), V6("fd00::1")) << keys;
  }
}

TEST_F(NetConfigTest, LongSectionNamesStillFindTheirKeys) {
  ASSERT_EQ(LoadMain("[netif_interface_number_zero]\ndnsnameserver1v4 = 9.9.9.9\n"), 1);
  EXPECT_EQ(net_SnapshotConfig(0).dnsServerV4, V4("9.9.9.9"));
}

// Stored files of devices write addresses with leading zeros and in short
// forms; they are read as the standard dotted-quad parser reads them.
TEST_F(NetConfigTest, StoredAddressesWithLeadingZerosAndShortForms) {
  struct Case {
    const char* text;
    const char* address;  // dotted, as reported
  };
  const Case cases[] = {
      {"192.168.001.010", "192.168.1.8"},  // a leading zero makes a part octal
      {"010.000.000.001", "8.0.0.1"},
      {"192.168.1", "192.168.0.1"},  // a.b.c: c fills the last two bytes
      {"10.1", "10.0.0.1"},          // a.b: b fills the last three bytes
      {"10.65535", "10.0.255.255"},
      {"3232235777", "192.168.1.1"},  // one number
      {"0x0A.0.0.0x01", "10.0.0.1"},  // hexadecimal parts
      {"255.255.255.255", "255.255.255.255"},
      {"192.168.1.09", "0.0.0.0"},  // 9 is no octal digit
      {"1.2.3.4.5", "0.0.0.0"},
      {"256.1.1.1", "0.0.0.0"},
      {"10.1.256", "10.1.1.0"},
      {"1.2.3.4x", "0.0.0.0"},
      {"", "0.0.0.0"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(LoadMain(std::string("[netif0]\naddressv4 = ") + c.text + "\nnetmaskv4 = " + c.text +
                       "\ngatewayv4 = " + c.text + "\ndnsnameserver1v4 = " + c.text + "\n"),
              1)
        << c.text;
    const NetIfConfig e = net_SnapshotConfig(0);
    for (std::uint32_t v : {e.addressV4, e.netmaskV4, e.gatewayV4, e.dnsServerV4})
      EXPECT_STREQ(net_FormatAddressV4(v), c.address) << c.text;
  }
}

TEST_F(NetConfigTest, DamagedMainFileIsReplacedFromTheBackupOnceItHasSettled) {
  net_SetRestoreSettleMs(0);
  const std::string backup = "[netif0]\ndescription = from backup\n";
  WriteFile(BackupPath(), backup);
  (void)syslog_.Drain();
  const std::string damaged = "[netif0]\ndescription = damaged";  // no final line feed
  WriteFile(MainPath(), damaged);
  ::chmod(MainPath().c_str(), 0640);
  ASSERT_EQ(LoadNetConfig(), 1);
  // The answer takes the backup's values; the file is left for now.
  EXPECT_STREQ(net_SnapshotConfig(0).description, "from backup");
  EXPECT_EQ(ReadFile(MainPath()), damaged);
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "iniparser_load - input line too long in " + MainPath() + " (2)");
  EXPECT_EQ(lines[1].text, "LoadNetConfig - Unable to parse " + MainPath() + ", applying back up file " + BackupPath());
  EXPECT_EQ(lines[2].text, "LoadNetConfig - Backup file used");
  EXPECT_EQ(lines[2].priority, 5);
  // Found the same way again: replaced by the backup, mode kept.
  ASSERT_EQ(LoadNetConfig(), 1);
  EXPECT_EQ(ReadFile(MainPath()), backup);
  struct stat st {};
  ASSERT_EQ(::stat(MainPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A missing main file is restored too, and nothing is left beside it.
  ::unlink(MainPath().c_str());
  (void)syslog_.Drain();
  ASSERT_EQ(LoadNetConfig(), 1);
  EXPECT_FALSE(FileExists(MainPath()));
  (void)syslog_.Drain();
  ASSERT_EQ(LoadNetConfig(), 1);
  EXPECT_EQ(ReadFile(MainPath()), backup);
  EXPECT_EQ(std::system(("test $(ls " + dir_.path() + "/opt/kv2/etc | wc -l) -eq 2").c_str()), 0);
  net_SetRestoreSettleMs(kNetRestoreSettleMs);
}

// A load that races the application's rewrite of the file: the file is read
// half-written, the backup answers, and the new file must survive.
TEST_F(NetConfigTest, FileRewrittenAfterAnUnreadableLoadIsNeverReplaced) {
  net_SetRestoreSettleMs(0);
  WriteFile(BackupPath(), "[netif0]\ndescription = from backup\n");
  struct Case {
    const char* what;
    std::vector<std::string> versions;  // written one by one, each followed by a load
    std::string last;                   // the main file after the last load
    const char* description;            // the entry after the last load
  };
  const Case cases[] = {
      {"rewrite completed",
       {"[netif0]\ndescription = hal", "[netif0]\ndescription = new\n"},
       "[netif0]\ndescription = new\n",
       "new"},
      {"another unreadable version restarts the wait",
       {"[netif0]\ndescription = a", "[netif0]\ndescription = ab"},
       "[netif0]\ndescription = ab",
       "from backup"},
      {"unreadable again after a good version",
       {"[netif0]\ndescription = x", "[netif0]\n", "[netif0]\ndescription = y"},
       "[netif0]\ndescription = y",
       "from backup"},
  };
  for (const Case& c : cases) {
    net_ResetConfig();
    for (const std::string& v : c.versions) {
      ::unlink(MainPath().c_str());  // a new inode for every version
      ASSERT_EQ(LoadMain(v), 1) << c.what;
      (void)syslog_.Drain();  // the capture holds few lines
    }
    EXPECT_EQ(ReadFile(MainPath()), c.last) << c.what;
    EXPECT_STREQ(net_SnapshotConfig(0).description, c.description) << c.what;
  }
  // The default settle time holds back a restore between loads close together.
  net_SetRestoreSettleMs(kNetRestoreSettleMs);
  net_ResetConfig();
  ASSERT_EQ(LoadMain("[netif0]\nbroken = 1"), 1);
  ASSERT_EQ(LoadNetConfig(), 1);
  (void)syslog_.Drain();
  EXPECT_EQ(ReadFile(MainPath()), "[netif0]\nbroken = 1");
}

// A link, a FIFO or a folder at the main file's name: the answer takes the
// backup (a FIFO no longer holds every listener), the fallback and the
// refusal are logged once however many answers follow, and the restore
// replaces the entry by a regular file of the backup's mode, never writing
// through a link nor taking the mode of the file it points to.
TEST_F(NetConfigTest, MainEntryThatIsNoRegularFileFallsBackOnceAndIsReplaced) {
  {
    kvtest::StdoutCapture out;
    log_SetVerbose(1);  // refusals are logged at level 1
    (void)out.Stop();
  }
  const std::string backup = "[netif0]\ndescription = from backup\n";
  WriteFile(BackupPath(), backup);
  ::chmod(BackupPath().c_str(), 0640);
  const std::string victim = dir_.path() + "/victim";
  struct Row {
    const char* what;
    bool replaced;  // a folder is never removed to make room
  };
  for (const Row r : {Row{"link", true}, Row{"FIFO", true}, Row{"folder", false}}) {
    net_ResetConfig();
    net_SetRestoreSettleMs(kNetRestoreSettleMs);
    WriteFile(victim, "[netif0]\ndescription = victim\n");
    ::chmod(victim.c_str(), 0666);
    const std::string what = r.what;
    const int planted = what == "link"   ? ::symlink(victim.c_str(), MainPath().c_str())
                        : what == "FIFO" ? ::mkfifo(MainPath().c_str(), 0666)
                                         : ::mkdir(MainPath().c_str(), 0777);
    ASSERT_EQ(planted, 0) << r.what;
    (void)syslog_.Drain();
    for (int answer = 0; answer < 3; ++answer) {
      ASSERT_EQ(LoadNetConfig(), 1) << r.what;
      EXPECT_STREQ(net_SnapshotConfig(0).description, "from backup") << r.what;
    }
    const auto lines = syslog_.Drain();
    ASSERT_EQ(lines.size(), 3u) << r.what;
    EXPECT_EQ(lines[0].text, "iniparser_load, " + MainPath() + " is not a regular file\n") << r.what;
    EXPECT_EQ(lines[1].text,
              "LoadNetConfig - Unable to parse " + MainPath() + ", applying back up file " + BackupPath());
    EXPECT_EQ(lines[2].text, "LoadNetConfig - Backup file used");
    // Settled: the restore.
    net_SetRestoreSettleMs(0);
    ASSERT_EQ(LoadNetConfig(), 1);
    (void)syslog_.Drain();
    EXPECT_EQ(ReadFile(victim), "[netif0]\ndescription = victim\n") << r.what;
    struct stat st {};
    ASSERT_EQ(::lstat(MainPath().c_str(), &st), 0);
    EXPECT_EQ(S_ISREG(st.st_mode), r.replaced) << r.what;
    if (r.replaced) {
      EXPECT_EQ(ReadFile(MainPath()), backup) << r.what;
      EXPECT_EQ(st.st_mode & 07777, 0640u) << r.what;
    }
    ASSERT_EQ(std::system(("rm -rf '" + MainPath() + "'").c_str()), 0);
  }
  net_SetRestoreSettleMs(kNetRestoreSettleMs);
}

TEST_F(NetConfigTest, BothFilesUnreadableLeaveTheTableAsItWas) {
  ASSERT_EQ(LoadMain("[netif0]\ndescription = kept\nMTUsize = 1400\n"), 1);
  const NetIfConfig before = net_SnapshotConfig(0);
  WriteFile(MainPath(), "[netif0]\ndescription = x\nbroken\n");
  ASSERT_FALSE(FileExists(BackupPath()));
  EXPECT_EQ(LoadNetConfig(), 0);
  const NetIfConfig after = net_SnapshotConfig(0);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST(NetFormat, AddressTexts) {
  EXPECT_STREQ(net_FormatAddressV4(V4("192.168.10.20")), "192.168.10.20");
  EXPECT_STREQ(net_FormatAddressV4(0), "0.0.0.0");
  struct Case {
    const char* address;
    std::size_t size;
    const char* text;
  };
  const Case cases[] = {
      {"::", 64, "::"},
      {"2001:db8::1", 64, "2001:db8::1"},
      {"fe80::1:2", 64, "fe80::1:2"},
      {"2001:db8::1", 5, "2001"},
      {"::", 2, ":"},
      {"1111:2222:3333:4444:5555:6666:7777:8888", 200, "1111:2222:3333:4444:5555:6666:7777:8888"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> a = V6(c.address);
    char out[200];
    std::memset(out, 'X', sizeof out);
    net_FormatAddressV6(out, c.size, a.data());
    EXPECT_STREQ(out, c.text) << c.address << " size " << c.size;
  }
}

}  // namespace
