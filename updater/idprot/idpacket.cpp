#include "idprot/idpacket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "config/identity.h"
#include "config/linefilter.h"
#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/result.h"
#include "core/safefile.h"
#include "idprot/idiface.h"

namespace {

// The kernel's IPv4 route table of the reading process's network namespace
// (the table the route program shows). A view of the kernel, not a device
// file: no sandbox root applies.
constexpr const char* kRouteTable = "/proc/net/route";
constexpr unsigned kRtfUp = 0x0001;
constexpr unsigned kRtfGateway = 0x0002;

void PutAddress(char* out, std::size_t offset, const std::uint8_t* bytes, std::size_t n) {
  std::memcpy(out + offset, bytes, n);
}

// Fields of a line split at any of the separators (a run of them counts as
// one), counted from 1.
std::string_view Field(std::string_view line, int wanted, std::string_view separators = " ") {
  int index = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    pos = line.find_first_not_of(separators, pos);
    if (pos == std::string_view::npos) break;
    std::size_t end = line.find_first_of(separators, pos);
    if (end == std::string_view::npos) end = line.size();
    if (++index == wanted) return line.substr(pos, end - pos);
    pos = end;
  }
  return {};
}

template <typename T>
bool Hex(std::string_view text, T& out) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// Selects the lines that the sftp subsystem pattern
// "^#*Subsystem[\t| *]sftp[\t| *]internal-sftp" matches: any number of "#",
// then the words, each separator one tab, bar, blank or star.
kv::LineVerdict SftpLine(std::string_view head, bool complete) {
  static constexpr std::string_view kPattern = "Subsystem?sftp?internal-sftp";
  std::size_t i = 0;
  while (i < head.size() && head[i] == '#') ++i;
  const std::string_view rest = head.substr(i);
  for (std::size_t j = 0; j < kPattern.size(); ++j) {
    if (j == rest.size()) return complete ? kv::LineVerdict::kPassed : kv::LineVerdict::kUndecided;
    const char c = rest[j];
    const bool ok = kPattern[j] == '?' ? (c == '\t' || c == '|' || c == ' ' || c == '*') : c == kPattern[j];
    if (!ok) return kv::LineVerdict::kPassed;
  }
  return kv::LineVerdict::kSelected;
}

bool ParseV4(std::string_view text, std::uint8_t out[4]) {
  char buf[INET_ADDRSTRLEN + 1];
  if (text.size() >= sizeof buf) return false;
  kv::CopyBounded(buf, text);
  in_addr a{};
  if (::inet_pton(AF_INET, buf, &a) != 1) return false;
  std::memcpy(out, &a, 4);
  return true;
}

// One interface query; false when the socket or the request fails.
bool AskInterface(int index, unsigned long request, ifreq& req) {
  const char* name = IdProt_GetInterfaceName(index);
  if (name[0] == '\0') return false;
  kv::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  req = ifreq{};
  std::strncpy(req.ifr_name, name, sizeof req.ifr_name - 1);
  return ::ioctl(fd.get(), request, &req) == 0;
}

void FillBlock(char* out, std::size_t address, std::size_t netmask, std::size_t gateway, std::size_t dns, int index) {
  std::uint8_t v[4] = {};
  IdProt_GetInterfaceAddress(v, index);
  PutAddress(out, address, v, 4);
  std::uint8_t m[4] = {};
  (void)IDPacket_getrouteinfo4(m, index, kRouteNetmask);  // failures leave 0
  PutAddress(out, netmask, m, 4);
  std::uint8_t g[4] = {};
  (void)IDPacket_getrouteinfo4(g, index, kRouteGateway);
  PutAddress(out, gateway, g, 4);
  std::uint8_t d[4] = {};
  (void)IDPacket_getDNSrsv4(d, index);
  PutAddress(out, dns, d, 4);
}

}  // namespace

void IdProt_GetInterfaceAddress(std::uint8_t out[4], int index) {
  std::memset(out, 0, 4);
  ifreq req{};
  if (!AskInterface(index, SIOCGIFADDR, req)) return;
  if (req.ifr_addr.sa_family != AF_INET) return;
  sockaddr_in a{};
  std::memcpy(&a, &req.ifr_addr, sizeof a);
  std::memcpy(out, &a.sin_addr, 4);
}

void IdProt_GetInterfaceMac(std::uint8_t out[6], int index) {
  std::memset(out, 0, 6);
  ifreq req{};
  if (!AskInterface(index, SIOCGIFHWADDR, req)) return;
  std::memcpy(out, req.ifr_hwaddr.sa_data, 6);
}

int IDPacket_getrouteinfo4(std::uint8_t address[4], int index, int kind) {
  return IDPacket_readRouteTable(kRouteTable, address, index, kind);
}

int IDPacket_readRouteTable(const char* table, std::uint8_t address[4], int index, int kind) {
  kv::File file = kv::OpenFile(table, "r");
  if (!file) {
    log_Print(2, "IDPacket_getrouteinfo4, failed to open pipe to %s\n", table);
    return -1;
  }
  const char* name = IdProt_GetInterfaceName(index);
  // The table's flags as the route program shows them: "U" for an up route,
  // "UG" for one through a gateway; any further flag (host route, reject)
  // makes another column text that neither kind takes.
  const unsigned wanted = kind == kRouteGateway ? (kRtfUp | kRtfGateway) : kRtfUp;
  char line[1000];
  bool header = true;
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    if (std::exchange(header, false)) continue;
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    constexpr std::string_view kBlank = " \t\r\n";
    const std::string_view l(line);
    const std::string_view iface = Field(l, 1, kBlank);
    unsigned flags = 0;
    if (!Hex(Field(l, 4, kBlank), flags) || flags != wanted) continue;
    // The route's own interface only: another interface whose name merely
    // contains this one's (eth0.vlan1 beside eth0) has routes of its own.
    if (name[0] == '\0' || iface != name) continue;
    std::uint32_t value = 0;
    if (!Hex(Field(l, kind == kRouteGateway ? 3 : 8, kBlank), value)) continue;
    std::memcpy(address, &value, 4);  // the table prints the address as a number in memory order
  }
  return 0;
}

int IDPacket_getDNSrsv4(std::uint8_t address[4], int /*index: the file is system-wide*/) {
  const std::string path = paths_Device(devpath::kResolvConf);
  // Read whole with a cap; a link, a FIFO or a folder at the name, or a file
  // beyond the cap, counts as no file, logged once per change of the entry.
  const kv::Result<std::string> text = safefile_Read(path, kSafeFileTextCap);
  if (!text) {
    if (safefile_IsMissing(text.error())) {
      log_Print(2, "IDPacket_getDNSrsv4, Error opening file! %s\n", path.c_str());
    } else {
      (void)safefile_LogRefusal("IDPacket_getDNSrsv4", path, text.error());
    }
    return 1;
  }
  int result = 1;
  // Lines as a buffer of 1000 bytes reads them: a longer line goes on as
  // further lines of its own.
  constexpr std::size_t kLineMax = 999;
  std::string_view rest(text.value());
  while (result != 0 && !rest.empty()) {
    const std::size_t newline = rest.substr(0, kLineMax).find('\n');
    const std::size_t take = newline == std::string_view::npos ? std::min(rest.size(), kLineMax) : newline + 1;
    const std::string line(rest.substr(0, take));
    rest.remove_prefix(take);
    const std::string_view l(line.c_str());  // text up to a NUL byte, as fgets gave it
    if (l.find("nameserver ") == std::string_view::npos) continue;
    std::string_view value = Field(l, 2);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (ParseV4(value, address)) result = 0;
  }
  return result;
}

int IdProt_IsStaticConfig(int index) {
  const std::string folder = paths_Device(devpath::kSystemdNetwork);
  const char* name = IdProt_GetInterfaceName(index);
  char path[512];
  std::snprintf(path, sizeof path, "%s%s.%s.%s", folder.c_str(), name, "vlan1", "network");
  struct stat st {};
  if (::stat(path, &st) != 0) std::snprintf(path, sizeof path, "%s%s.%s", folder.c_str(), name, "network");
  // The first "DHCP=" line decides, by what follows the "=".
  constexpr std::string_view kKey = "DHCP=";
  std::string first;
  bool ended = false;
  const kv::Status read = kv::FilterLines(
      path, [kKey](std::string_view head, bool complete) { return kv::LineBeginsWith(kKey, head, complete); },
      [&](std::string_view text) {
        if (ended) return;
        if (text == "\n") {
          ended = true;
          return;
        }
        if (first.size() < kKey.size() + 8) first.append(text.substr(0, kKey.size() + 8));
      });
  // A missing file is the static configuration, silently; anything else at
  // the name is refused as no file, with one line per change of the entry.
  if (!read && !safefile_IsMissing(read.error()))
    (void)safefile_LogRefusal("IdProt_IsStaticConfig", path, read.error());
  std::string_view value = std::string_view(first).substr(first.size() < kKey.size() ? first.size() : kKey.size());
  value = value.substr(0, value.find('\0'));
  return (value.starts_with("yes") || value.starts_with("ipv4")) ? 0 : 1;
}

int IdProt_GetSftpStatus() {
  // The last matching line, as a buffer of 1034 bytes reads it, decides: a
  // commented-out line disables sftp; no line (or no file) leaves it enabled.
  const std::string path = paths_Device(devpath::kSshdConfig);
  kv::PieceReader reader(1034);
  const kv::Status read =
      kv::FilterLines(path.c_str(), SftpLine, [&reader](std::string_view text) { reader.Feed(text); });
  if (!read && !safefile_IsMissing(read.error())) (void)safefile_LogRefusal("IdProt_GetSftpStatus", path, read.error());
  reader.Finish();
  return reader.any() && reader.last().starts_with("#") ? 0 : 1;
}

void IdProt_SetDefaultSecurity(DeviceIdData& id) {
  id.sftpEnabled = static_cast<std::uint8_t>(IdProt_GetSftpStatus());
  id.pcommPortFree = 0;
  id.writeBackup = 0;
  id.forceSsl = 0;
  id.digestAccess = 0;
  id.remoteAuthentication = 0;
}

int IdPacket() {
  kv::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    log_PrintPriority(kPriorityError, 2, "%s", "IdPacket: Unable to create socket.\n");
    return 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kPcommPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    log_PrintPriority(kPriorityError, 2, "%s", "IdPacket: Unable to bind to PCOMM port.\n");
    return 0;
  }
  return 1;
}

int IDPacket_createIDresponse(char* out, int size, DeviceIdData& id, int index, std::uint8_t appRunning) {
  if (out == nullptr || size < static_cast<int>(kNetbrText) + 2) return 0;
  utsname u{};
  ::uname(&u);
  const int isStatic = IdProt_IsStaticConfig(index);
  log_PrintPriority(kPriorityDebug, 2, "IDPacket_createIDresponse, isStatic: %s\n", isStatic != 0 ? "true" : "false");

  std::memset(out, 0, static_cast<std::size_t>(size));
  // The record's tag: five bytes, no terminator (the byte after it is the
  // first of the length field).
  std::copy_n("NETBR", 5, out);
  const std::uint8_t length[4] = {0, 0, 0, static_cast<std::uint8_t>(kNetbrFixedLength)};
  PutAddress(out, kNetbrLengthField, length, 4);
  if (isStatic != 0)
    FillBlock(out, kNetbrStaticAddress, kNetbrStaticNetmask, kNetbrStaticGateway, kNetbrStaticDns, index);
  std::uint8_t mac[6];
  IdProt_GetInterfaceMac(mac, index);
  PutAddress(out, kNetbrMac1, mac, 6);
  PutAddress(out, kNetbrMac2, mac, 6);
  if (isStatic == 0) FillBlock(out, kNetbrDhcpAddress, kNetbrDhcpNetmask, kNetbrDhcpGateway, kNetbrDhcpDns, index);
  out[148] = static_cast<char>(0xFF);

  id.sftpEnabled = static_cast<std::uint8_t>(IdProt_GetSftpStatus());
  id.pcommPortFree = static_cast<std::uint8_t>(IdPacket());
  std::uint8_t flags = 0;
  if (id.sftpEnabled != 0) flags |= kNetbrFlagSftp;
  if (id.pcommPortFree != 0) flags |= kNetbrFlagPcommFree;
  if (id.writeBackup != 0) flags |= kNetbrFlagWriteBackup;
  out[kNetbrFlags] = static_cast<char>(flags);
  out[149] = 0x01;
  out[151] = 0x34;
  out[152] = 0x12;

  // Text part: platform name and its NUL, then one line and its NUL.
  const char* image = config_GetImageRev();
  if (image == nullptr) image = kIdUnknownImageVersion;
  const std::size_t room = static_cast<std::size_t>(size) - kNetbrText;
  char* text = out + kNetbrText;
  std::size_t used = kv::CopyBounded(text, room - 1, id.platformName) + 1;
  char line[kIdBufferSize];
  int n;
  if (appRunning != 0) {
    n = std::snprintf(line, sizeof line, "%s, %s, %s%s, %s, OS:%s %s-%s", u.nodename, id.productName, id.swRevision,
                      id.swBuildNumber, id.buildDate, image, u.sysname, u.release);
  } else {
    n = std::snprintf(line, sizeof line, "%s, %s, %s, %s, OS:%s %s-%s", u.nodename, id.productName, "no app found",
                      id.buildDate, image, u.sysname, u.release);
    log_Print(1, "IDPacket_createIDresponse, no app seems to be running, answer accordingly\n");
  }
  if (n < 0) line[0] = '\0';
  used += kv::CopyBounded(text + used, room - used, line) + 1;
  return static_cast<int>(kNetbrText + used);
}
