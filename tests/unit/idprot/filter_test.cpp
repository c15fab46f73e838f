// The device files an answer needs are read inside the daemon; these tests
// hold that reading against the shell pipelines that define the results
// ("sed" through a pipe, read with a fixed line buffer; "route -n"), over a
// corpus of odd files and, for routes, a route table the test builds in a
// network namespace of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "config/identity.h"
#include "core/handles.h"
#include "core/paths.h"
#include "idprot/idpacket.h"
#include "idprot/idserver.h"
#include "support/capture.h"
#include "support/reference.h"

namespace {

using kvtest::TempDir;
using kvtest::WriteFile;

// What a reader with a line buffer of size bytes gets from the command's
// output: one text per read, each up to its first NUL.
std::vector<std::string> Pieces(const std::string& command, int size) {
  std::vector<std::string> pieces;
  kv::Pipe pipe(::popen(command.c_str(), "re"));
  if (!pipe) return pieces;
  std::vector<char> line(static_cast<std::size_t>(size));
  while (std::fgets(line.data(), size, pipe.get()) != nullptr) pieces.emplace_back(line.data());
  return pieces;
}

// The value of the last "KEY..." line of an image description, as the
// pipeline "sed -n '/^KEY/p' FILE" read with a 1999-byte buffer gives it.
std::optional<std::string> PipelineImageValue(const std::string& locale, const char* key, const std::string& file) {
  return kvtest::ImageValueOf(Pieces("LC_ALL=" + locale + " sed -n '/^" + key + "/p' " + file + " 2>/dev/null", 1999));
}

// A short text for a revision, so that a difference is readable.
std::string Brief(const std::optional<std::string>& v) {
  if (!v) return "(none)";
  return "\"" + v->substr(0, 40) + "\"... (" + std::to_string(v->size()) + " characters)";
}

int PipelineImageType(const std::string& locale, const std::string& file) {
  const auto v = PipelineImageValue(locale, "image_machine", file);
  if (!v) return 0;
  if (v->rfind("kv2t", 0) == 0) return 1;
  if (v->rfind("kvretro", 0) == 0) return 2;
  if (v->rfind("kvsr", 0) == 0) return 3;
  return 0;
}

int PipelineSftp(const std::string& locale, const std::string& file) {
  const auto pieces = Pieces(
      "LC_ALL=" + locale + " sed -n '/^#*Subsystem[\\t| *]sftp[\\t| *]internal-sftp/p' " + file + " 2>/dev/null", 1034);
  return !pieces.empty() && pieces.back().rfind('#', 0) == 0 ? 0 : 1;
}

int PipelineStatic(const std::string& locale, const std::string& file) {
  const auto pieces = Pieces("LC_ALL=" + locale + " sed  -n -e 's/^DHCP=//p'  " + file + " 2>/dev/null", 1000);
  if (pieces.empty()) return 1;
  const std::string& l = pieces.front();
  return (l.rfind("yes", 0) == 0 || l.rfind("ipv4", 0) == 0) ? 0 : 1;
}

// Odd files: boundaries of the line buffers, missing line feeds, NUL bytes,
// carriage returns, repeated and look-alike keys, bytes that are not UTF-8,
// and random mixtures of the pieces such files are made of.
std::vector<std::string> Corpus(const std::vector<std::string>& keys, const std::vector<std::string>& words) {
  std::vector<std::string> files = {"", "\n", "\n\n\n", std::string("\0", 1), "\xff\xfe\n"};
  for (const std::string& k : keys) {
    for (const std::string& w : words) {
      files.push_back(k + w + "\n");
      files.push_back(k + w);               // no final line feed
      files.push_back(k + w + "\r\n");      // carriage return
      files.push_back(" " + k + w + "\n");  // not at the line start
      files.push_back(k + "X" + w + "\n");  // a longer key
      files.push_back(k + std::string("\0", 1) + w + "\n");
      files.push_back(k + w + std::string("\0tail", 5) + "\n");
      files.push_back(k + w + "\n" + k + "second" + w + "\n");
      files.push_back("#" + k + w + "\n" + k + w + "\n");
      files.push_back(k + w + "\n#" + k + w + "\n");
      files.push_back(k + "\xc3\xa9\xff" + w + "\n");
      for (int length : {998, 999, 1033, 1034, 1997, 1998, 1999, 4100}) {
        const std::size_t pad = static_cast<std::size_t>(length) > k.size() + w.size()
                                    ? static_cast<std::size_t>(length) - k.size() - w.size()
                                    : 0;
        files.push_back(k + w + std::string(pad, 'v') + "\n");
        files.push_back(k + std::string(pad, 'v') + w + "\n");
        files.push_back(k + w + std::string(pad, 'v'));
        files.push_back(std::string(pad, '#') + k + w + "\n");
      }
    }
  }
  std::mt19937 rng(20034);
  std::vector<std::string> pieces = keys;
  pieces.insert(pieces.end(), words.begin(), words.end());
  for (const char* p : {"=", "==", "\n", "\r\n", "\t", " ", "#", "|", "*", "\\t", "\xff"}) pieces.emplace_back(p);
  pieces.emplace_back(std::string("\0", 1));
  pieces.emplace_back(std::string(1030, 'x'));
  pieces.emplace_back(std::string(1995, 'y'));
  for (int i = 0; i < 150; ++i) {
    std::string f;
    const int n = static_cast<int>(rng() % 30);
    for (int j = 0; j < n; ++j) f += pieces[rng() % pieces.size()];
    files.push_back(f);
  }
  return files;
}

class PipelineSameness : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    for (const char* d : {"/etc", "/etc/ssh", "/etc/systemd", "/etc/systemd/network"})
      ::mkdir((dir_.path() + d).c_str(), 0755);
    if (std::system("command -v sed >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs sed";
  }
  void TearDown() override { paths_SetRoot(""); }
  static std::string Shown(const std::string& content) {
    std::string s;
    for (unsigned char c : content.substr(0, 80)) {
      char b[8];
      std::snprintf(b, sizeof b, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
      s += b;
    }
    return s + " (" + std::to_string(content.size()) + " bytes)";
  }
  TempDir dir_;
  const std::vector<std::string> locales_ = {"C", "C.UTF-8"};
};

TEST_F(PipelineSameness, ImageVersionAndMachine) {
  const std::string file = dir_.path() + "/image_info";
  int compared = 0;
  for (const std::string& content :
       Corpus({"image_version", "image_machine"}, {"=kv-image-3.2.1", "=kv2t-imx6", "=kvsr=x", "=", ""})) {
    WriteFile(file, content);
    const char* revision = config_GetImageRev();
    const std::optional<std::string> ours = revision != nullptr ? std::optional<std::string>(revision) : std::nullopt;
    const int type = config_GetImageType();
    for (const std::string& locale : locales_) {
      const auto theirs = PipelineImageValue(locale, "image_version", file);
      EXPECT_TRUE(ours == theirs) << locale << ": " << Shown(content) << ": " << Brief(ours) << " against "
                                  << Brief(theirs);
      EXPECT_EQ(type, PipelineImageType(locale, file)) << locale << ": " << Shown(content);
      ++compared;
    }
  }
  ::unlink(file.c_str());
  EXPECT_EQ(config_GetImageRev(), nullptr);
  EXPECT_EQ(config_GetImageType(), PipelineImageType("C", file));
  EXPECT_GT(compared, 1000);
}

TEST_F(PipelineSameness, SftpSubsystemLine) {
  const std::string file = dir_.path() + "/etc/ssh/sshd_config";
  for (const std::string& content :
       Corpus({"Subsystem", "#Subsystem"}, {"\tsftp\tinternal-sftp", "|sftp*internal-sftp", "  sftp internal-sftp",
                                            "\\sftp\\internal-sftp", " sftp /usr/lib/sftp-server"})) {
    WriteFile(file, content);
    const int ours = IdProt_GetSftpStatus();
    for (const std::string& locale : locales_)
      EXPECT_EQ(ours, PipelineSftp(locale, file)) << locale << ": " << Shown(content);
  }
  ::unlink(file.c_str());
  EXPECT_EQ(IdProt_GetSftpStatus(), PipelineSftp("C", file));
}

TEST_F(PipelineSameness, DhcpLineOfTheNetworkFile) {
  const std::string file = dir_.path() + "/etc/systemd/network/eth1.network";
  for (const std::string& content : Corpus({"DHCP=", "DHCP=DHCP="}, {"yes", "ipv4", "no", "", "ye"})) {
    WriteFile(file, content);
    const int ours = IdProt_IsStaticConfig(kIdIndexEth1);
    for (const std::string& locale : locales_)
      EXPECT_EQ(ours, PipelineStatic(locale, file)) << locale << ": " << Shown(content);
  }
  ::unlink(file.c_str());
  EXPECT_EQ(IdProt_IsStaticConfig(kIdIndexEth1), 1);
}

// The gateway or netmask that "route -n" gives for an interface, picked from
// its output as the lines with " UG " or " U " whose Iface column (the last)
// is the interface's name.
std::string PipelineRoute(const std::string& netns, int index, int kind) {
  const char* name = IdProt_GetInterfaceName(index);
  std::string result = "0.0.0.0";
  for (const std::string& line : Pieces("ip netns exec " + netns + " route -n", 1000)) {
    if (line.find(kind == kRouteGateway ? " UG " : " U ") == std::string::npos || name[0] == '\0') continue;
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while ((pos = line.find_first_not_of(" \n", pos)) != std::string::npos) {
      const std::size_t end = line.find_first_of(" \n", pos);
      fields.push_back(line.substr(pos, end - pos));
      pos = end;
    }
    if (fields.size() != 8 || fields.back() != name) continue;
    in_addr a{};
    if (fields.size() > 3 && ::inet_pton(AF_INET, fields[kind == kRouteGateway ? 1 : 2].c_str(), &a) == 1)
      result = fields[kind == kRouteGateway ? 1 : 2];
  }
  return result;
}

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

TEST(RouteSameness, KernelTableGivesWhatRouteShows) {
  if (::geteuid() != 0 || !Sh("command -v route") || !Sh("command -v ip")) GTEST_SKIP() << "needs root, ip and route";
  const std::string ns = "kvroute" + std::to_string(::getpid());
  ASSERT_TRUE(Sh("ip netns add " + ns));
  const std::string in = "ip -n " + ns + " ";
  // Interfaces of every listener name, their link routes, gateways, host
  // routes, reject routes, several routes per interface and metrics.
  // Interfaces of every listener name (veth pairs: modules for other link
  // types may be missing), their link routes, gateways, host routes, reject
  // and blackhole routes, several routes per interface and metrics.
  std::vector<std::string> setup;
  // xeth0 and eth1x hold listener names inside names of their own.
  const char* names[] = {"eth0",  "eth1",       "eth2",       "wlan0", "wwan0",
                         "bnep0", "eth0.vlan1", "eth2.vlan1", "xeth0", "eth1x"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const std::string far = "x" + std::to_string(i);
    setup.push_back(std::string("link add ") + names[i] + " type veth peer name " + far);
    setup.push_back("link set " + far + " up");
    setup.push_back(std::string("link set ") + names[i] + " up");
  }
  for (const char* step : {"addr add 10.77.0.2/24 dev eth0",
                           "addr add 10.78.0.2/16 dev eth1",
                           "addr add 10.76.0.2/25 dev eth2",
                           "addr add 10.79.0.2/26 dev eth0.vlan1",
                           "addr add 10.80.0.2/24 dev eth2.vlan1",
                           "addr add 192.168.7.3/24 dev wlan0",
                           "addr add 10.75.0.9/30 dev wwan0",
                           "addr add 10.81.0.1/24 dev bnep0",
                           "addr add 10.74.0.2/30 dev xeth0",
                           "addr add 10.73.0.2/27 dev eth1x",
                           "route add 10.72.0.0/16 via 10.74.0.1 dev xeth0",
                           "route add 10.71.0.0/16 via 10.73.0.1 dev eth1x",
                           "route add default via 10.77.0.1 dev eth0",
                           "route add 10.99.0.0/16 via 10.78.0.254 dev eth1",
                           "route add 10.98.0.5/32 via 10.78.0.253 dev eth1",
                           "route add 10.97.0.0/16 via 10.79.0.1 dev eth0.vlan1",
                           "route add 10.96.0.0/16 dev eth2 metric 7",
                           "route add blackhole 10.95.0.0/16",
                           "route add unreachable 10.94.0.0/16",
                           "route add prohibit 10.93.0.0/16",
                           "route add 10.92.0.0/16 via 192.168.7.1 dev wlan0",
                           "route add 10.91.0.7/32 dev wwan0",
                           "route add default via 10.76.0.1 dev eth2 metric 50",
                           "route add 10.90.0.0/16 dev x3"})
    setup.emplace_back(step);
  bool ok = true;
  for (const std::string& step : setup) {
    const bool done = Sh(in + step);
    EXPECT_TRUE(done) << step;
    ok = done && ok;
  }
  const std::string table = ::testing::TempDir() + "kvroute-table-" + std::to_string(::getpid());
  ok = std::system(("ip netns exec " + ns + " cat /proc/net/route > " + table).c_str()) == 0 && ok;
  if (ok) {
    for (int index = 0; index < kIdListenerCount; ++index) {
      for (int kind : {kRouteGateway, kRouteNetmask}) {
        std::uint8_t a[4] = {};
        EXPECT_EQ(IDPacket_readRouteTable(table.c_str(), a, index, kind), 0);
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, a, text, sizeof text);
        EXPECT_EQ(text, PipelineRoute(ns, index, kind)) << IdProt_GetInterfaceName(index) << " kind " << kind;
      }
    }
  }
  ::unlink(table.c_str());
  Sh("ip netns del " + ns);
  ASSERT_TRUE(ok) << "setting up the route table failed";
}

}  // namespace
