// The system queries behind the network record and the identification
// document, against files of a sandbox root and a stand-in route program;
// and the bounds of both answers.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/identity.h"
#include "core/bounded.h"
#include "core/paths.h"
#include "idprot/idpacket.h"
#include "idprot/idrequest.h"
#include "idprot/idserver.h"
#include "support/capture.h"
#include "support/reference.h"

namespace {

using kvtest::TempDir;
using kvtest::WriteFile;

std::string V4(const std::uint8_t a[4]) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, a, text, sizeof text);
  return text;
}

// The member names of a JSON document, in order; empty when it is not JSON.
std::vector<std::string> Keys(const std::string& doc) {
  std::vector<std::string> keys;
  cJSON* o = cJSON_ParseWithLength(doc.data(), doc.size());
  const cJSON* m = nullptr;
  cJSON_ArrayForEach(m, o) keys.emplace_back(m->string);
  cJSON_Delete(o);
  return keys;
}

std::vector<std::pair<std::string, std::string>> Members(const std::string& doc) { return kvtest::MembersOf(doc); }

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

class IdPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    for (const char* d : {"/etc", "/etc/ssh", "/etc/systemd", "/etc/systemd/network", "/sbin"})
      ::mkdir((dir_.path() + d).c_str(), 0755);
  }
  void TearDown() override { paths_SetRoot(""); }
  void Write(const char* devicePath, const std::string& content) { WriteFile(dir_.path() + devicePath, content); }
  TempDir dir_;
};

TEST_F(IdPacketTest, StaticOrDhcpFromTheNetworkFile) {
  struct Case {
    const char* file;  // null: no file
    const char* content;
    int index;
    int isStatic;
  };
  const Case cases[] = {
      {"eth0.network", "[Network]\nDHCP=yes\n", kIdIndexEth0, 0},
      {"eth0.network", "[Network]\nDHCP=ipv4\n", kIdIndexEth0, 0},
      {"eth0.network", "[Network]\nDHCP=ipv6\n", kIdIndexEth0, 1},
      {"eth0.network", "[Network]\nDHCP=no\n", kIdIndexEth0, 1},
      {"eth0.network", "[Network]\nAddress=10.0.0.1/24\n", kIdIndexEth0, 1},
      {"eth0.network", "[Network]\n#DHCP=yes\n", kIdIndexEth0, 1},
      {"eth0.network", "[Network]\nDHCP=yes\nDHCP=no\n", kIdIndexEth0, 0},  // first line counts
      {nullptr, nullptr, kIdIndexEth1, 1},                                  // no file
      // A VLAN file of the interface comes first.
      {"eth1.vlan1.network", "[Network]\nDHCP=yes\n", kIdIndexEth1, 0},
      {"eth0.vlan1.network", "DHCP=yes\n", kIdIndexEth0Vlan1, 0},
  };
  for (const Case& c : cases) {
    if (c.file != nullptr) Write((std::string("/etc/systemd/network/") + c.file).c_str(), c.content);
    EXPECT_EQ(IdProt_IsStaticConfig(c.index), c.isStatic)
        << (c.file ? c.file : "none") << " " << (c.content ? c.content : "");
  }
  Write("/etc/systemd/network/eth1.network", "DHCP=no\n");
  EXPECT_EQ(IdProt_IsStaticConfig(kIdIndexEth1), 0);  // the VLAN file still wins
}

TEST_F(IdPacketTest, FirstIPv4Nameserver) {
  struct Case {
    const char* content;  // null: no file
    int result;
    const char* address;
  };
  const Case cases[] = {
      {"nameserver 10.1.1.1\nnameserver 10.2.2.2\n", 0, "10.1.1.1"},
      {"# comment\nsearch lan\nnameserver fd00::1\nnameserver 192.168.5.9\r\n", 0, "192.168.5.9"},
      {"nameserver fd00::1\n", 1, "0.0.0.0"},
      {"nameserver\t10.1.1.1\n", 1, "0.0.0.0"},  // the keyword needs its space
      {"nameserver    10.3.3.3", 0, "10.3.3.3"},
      {"nameserver 999.1.1.1\n", 1, "0.0.0.0"},
      {"", 1, "0.0.0.0"},
      {nullptr, 1, "0.0.0.0"},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.path() + "/etc/resolv.conf";
    ::unlink(path.c_str());
    if (c.content != nullptr) WriteFile(path, c.content);
    std::uint8_t a[4] = {};
    EXPECT_EQ(IDPacket_getDNSrsv4(a, 0), c.result) << (c.content ? c.content : "none");
    EXPECT_EQ(V4(a), c.address) << (c.content ? c.content : "none");
  }
}

TEST_F(IdPacketTest, SftpStatus) {
  struct Case {
    const char* content;  // null: no file
    int enabled;
  };
  const Case cases[] = {
      {"Subsystem\tsftp\tinternal-sftp\n", 1},
      {"Subsystem sftp internal-sftp\n", 1},
      {"#Subsystem sftp internal-sftp\n", 0},
      {"##Subsystem\tsftp internal-sftp\n", 0},
      {"#Subsystem sftp internal-sftp\nSubsystem sftp internal-sftp\n", 1},  // the last line counts
      {"Subsystem sftp internal-sftp\n#Subsystem sftp internal-sftp\n", 0},
      {"Subsystem sftp /usr/lib/sftp-server\n", 1},  // no matching line: enabled
      {"", 1},
      {nullptr, 1},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.path() + "/etc/ssh/sshd_config";
    ::unlink(path.c_str());
    if (c.content != nullptr) WriteFile(path, c.content);
    EXPECT_EQ(IdProt_GetSftpStatus(), c.enabled) << (c.content ? c.content : "none");
  }
}

// One line of the kernel's route table text: addresses as the number their
// bytes make in memory, flags in hexadecimal.
std::string RouteLine(const char* iface, const char* dest, const char* gateway, unsigned flags, const char* mask) {
  auto hex = [](const char* dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted, &a);
    std::uint32_t v;
    std::memcpy(&v, &a, 4);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return std::string(text);
  };
  char flagText[5];
  std::snprintf(flagText, sizeof flagText, "%04X", flags);
  return std::string(iface) + "\t" + hex(dest) + "\t" + hex(gateway) + "\t" + flagText + "\t0\t0\t0\t" + hex(mask) +
         "\t0\t0\t0\n";
}

TEST_F(IdPacketTest, RoutesFromTheRouteTable) {
  const std::string table =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" +
      RouteLine("eth0", "0.0.0.0", "10.77.0.1", 0x3, "0.0.0.0") +
      RouteLine("eth0", "10.77.0.0", "0.0.0.0", 0x1, "255.255.255.0") +
      RouteLine("eth1", "10.78.0.0", "0.0.0.0", 0x1, "255.255.0.0") +
      RouteLine("eth0.vlan1", "10.79.0.0", "0.0.0.0", 0x1, "255.255.255.128") +
      RouteLine("xeth0", "10.74.0.0", "0.0.0.0", 0x1, "255.255.255.252") +
      RouteLine("xeth0", "10.73.0.0", "10.74.0.1", 0x3, "255.255.0.0") +
      RouteLine("eth1", "10.99.0.0", "10.78.0.254", 0x3, "255.255.0.0") +
      RouteLine("eth1", "10.98.0.5", "10.78.0.253", 0x7, "255.255.255.255") +  // host route: "UGH"
      RouteLine("*", "10.97.0.0", "0.0.0.0", 0x201, "255.255.0.0");            // reject: "!"
  const std::string path = dir_.path() + "/route";
  WriteFile(path, table);
  struct Case {
    int index;
    int kind;
    const char* address;
  };
  const Case cases[] = {
      {kIdIndexEth0, kRouteGateway, "10.77.0.1"},
      // eth0.vlan1's and xeth0's routes are theirs, not eth0's.
      {kIdIndexEth0, kRouteNetmask, "255.255.255.0"},
      {kIdIndexEth1, kRouteGateway, "10.78.0.254"},
      {kIdIndexEth1, kRouteNetmask, "255.255.0.0"},
      {kIdIndexEth0Vlan1, kRouteNetmask, "255.255.255.128"},
      {kIdIndexEth0Vlan1, kRouteGateway, "0.0.0.0"},
      {kIdIndexEth2, kRouteGateway, "0.0.0.0"},
  };
  for (const Case& c : cases) {
    std::uint8_t a[4] = {};
    EXPECT_EQ(IDPacket_readRouteTable(path.c_str(), a, c.index, c.kind), 0);
    EXPECT_EQ(V4(a), c.address) << c.index << " " << c.kind;
  }
  // An unreadable table is reported and leaves the address alone.
  std::uint8_t a[4] = {1, 2, 3, 4};
  EXPECT_EQ(IDPacket_readRouteTable((dir_.path() + "/missing").c_str(), a, kIdIndexEth0, kRouteGateway), -1);
  EXPECT_EQ(V4(a), "1.2.3.4");
  // The process's own table is readable.
  EXPECT_EQ(IDPacket_getrouteinfo4(a, kIdIndexEth0, kRouteGateway), 0);
}

TEST_F(IdPacketTest, AnswersStayInsideTheirBuffers) {
  // Texts at their longest: 99 characters in every identity field.
  DeviceIdData id{};
  for (char* f : {id.platformName, id.productName, id.swRevision, id.buildDate, id.swBuildNumber}) {
    std::memset(f, 'x', kIdTextSize - 1);
    f[kIdTextSize - 1] = '\0';
  }
  for (int size : {155, 200, 300, 2048}) {
    std::string out(static_cast<std::size_t>(size) + 16, '\x7E');
    const int n = IDPacket_createIDresponse(out.data(), size, id, kIdIndexEth2Vlan1, 1);
    ASSERT_GT(n, 153) << size;
    ASSERT_LE(n, size) << size;
    EXPECT_EQ(out[static_cast<std::size_t>(n) - 1], '\0');
    EXPECT_EQ(out.substr(static_cast<std::size_t>(size)), std::string(16, '\x7E')) << size;
    EXPECT_EQ(out.substr(0, 5), "NETBR");
  }
  char whole[4096];
  const int full = IdProt_CreateJsonResponse(whole, sizeof whole, id, kIdIndexEth2Vlan1, 0);
  ASSERT_GT(full, 900);  // five long texts and the interface members
  const std::vector<std::string> keys = Keys(std::string(whole, static_cast<std::size_t>(full)));
  for (int space : {1, 2, 50, 700, full, full + 1, 2043}) {
    std::string out(static_cast<std::size_t>(space) + 16, '\x7E');
    const int n = IdProt_CreateJsonResponse(out.data(), space, id, kIdIndexEth2Vlan1, 0);
    EXPECT_LE(n, space - 1) << space;
    EXPECT_EQ(out[static_cast<std::size_t>(n)], '\0');
    EXPECT_EQ(out.substr(static_cast<std::size_t>(space)), std::string(16, '\x7E')) << space;
    if (space > full) {
      EXPECT_EQ(out.substr(0, static_cast<std::size_t>(n)), std::string(whole, static_cast<std::size_t>(full)));
    } else if (space >= 700) {
      // Shortened, whole and valid: every member is still there.
      EXPECT_EQ(Keys(out.substr(0, static_cast<std::size_t>(n))), keys) << space;
    } else {
      EXPECT_EQ(n, 0) << space;  // not even the members' names fit
    }
  }
}

// The document at the datagram's limit: one character more than fits cuts
// the longest text values to one common length, never inside an escape or a
// UTF-8 sequence; short values keep their text.
TEST_F(IdPacketTest, OverLongDocumentStaysValidJson) {
  const std::string image(1033, 'i');
  Write("/image_info", "image_version=" + image + "\n");
  DeviceIdData id{};
  std::string product;
  while (product.size() < 96) product += "\xc3\xa9\"\x01";  // two-byte character, quote, control character
  kv::CopyBounded(id.productName, product);
  kv::CopyBounded(id.platformName, std::string(99, 'p'));
  kv::CopyBounded(id.swRevision, "Rev: 1.2");
  kv::CopyBounded(id.buildDate, std::string(60, 'd'));
  char whole[8192];
  const int full = IdProt_CreateJsonResponse(whole, sizeof whole, id, kIdIndexEth2Vlan1, 0);
  const std::string doc(whole, static_cast<std::size_t>(full));
  ASSERT_GT(full, 2042);
  const auto original = Members(doc);

  for (int space : {full + 1, full, full - 1, 2043, 1500, 1000}) {
    char out[8192];
    const int n = IdProt_CreateJsonResponse(out, space, id, kIdIndexEth2Vlan1, 0);
    const std::string text(out, static_cast<std::size_t>(n));
    if (space == full + 1) {
      EXPECT_EQ(text, doc);  // exactly at the limit: untouched
      continue;
    }
    ASSERT_GT(n, 0) << space;
    EXPECT_LE(n, space - 1);
    EXPECT_TRUE(ValidUtf8(text)) << space;
    const auto shortened = Members(text);  // empty when not valid JSON
    ASSERT_EQ(shortened.size(), original.size()) << space << ": " << text;
    std::size_t level = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
      const auto& [key, before] = original[i];
      const auto& [sameKey, after] = shortened[i];
      EXPECT_EQ(key, sameKey);
      ASSERT_EQ(after.compare(0, std::string::npos, before, 0, after.size()), 0) << key << ": not a prefix";
      if (after != before) level = std::max(level, after.size());
    }
    // The cut values share one length (up to a UTF-8 sequence); every value
    // at or below it is untouched.
    for (std::size_t i = 0; i < original.size(); ++i) {
      const auto& before = original[i].second;
      const auto& after = shortened[i].second;
      if (after != before)
        EXPECT_GE(after.size() + 1, level) << original[i].first;
      else
        EXPECT_LE(before.size(), level) << original[i].first;
    }
    EXPECT_FALSE(shortened[7].second.empty()) << space;  // image_version keeps its beginning
  }
}

TEST_F(IdPacketTest, UnknownImageVersionAndMissingInterface) {
  DeviceIdData id{};
  std::strcpy(id.platformName, "KV2_TOUCH");
  char out[2048];
  // No /image_info in the root, no eth2.vlan1 in this process's view.
  const int n = IdProt_CreateJsonResponse(out, sizeof out, id, kIdIndexEth2Vlan1, 0);
  const std::string doc(out, static_cast<std::size_t>(n));
  EXPECT_NE(doc.find("\"image_version\":\"unknown\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"mac\":\"00:00:00:00:00:00\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"current_address1v6\":\"::\""), std::string::npos) << doc;
  const int m = IDPacket_createIDresponse(out, sizeof out, id, kIdIndexEth2Vlan1, 0);
  const std::string text(out + 153, static_cast<std::size_t>(m - 153));
  EXPECT_NE(text.find("no app found"), std::string::npos);
  EXPECT_NE(text.find("OS:unknown "), std::string::npos) << text;
  EXPECT_EQ(std::string(out + 112, 6), std::string(6, '\0'));
}

}  // namespace
