#include "idprot/idpacket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/identity.h"
#include "core/bounded.h"
#include "core/cmd.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "idprot/idrequest.h"
#include "idprot/idserver.h"

namespace {

void PutAddress(char* out, std::size_t offset, const std::uint8_t* bytes, std::size_t n) {
  std::memcpy(out + offset, bytes, n);
}

// Fields of a line split at spaces (runs of spaces count as one separator).
std::string_view Field(std::string_view line, int wanted) {
  int index = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) break;
    std::size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    if (++index == wanted) return line.substr(pos, end - pos);
    pos = end;
  }
  return {};
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

void FillBlock(char* out, std::size_t address, std::size_t netmask, std::size_t gateway, std::size_t dns,
               int index) {
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
  const std::string command = paths_Device(devpath::kRoute) + " -n";
  kv::Pipe pipe = cmd_OpenPipe(command.c_str());
  if (!pipe) {
    log_Print(2, "IDPacket_getrouteinfo4, failed to open pipe to %s\n", command.c_str());
    return -1;
  }
  const char* name = IdProt_GetInterfaceName(index);
  const char* marker = kind == kRouteGateway ? " UG " : " U ";
  char line[1000];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    const std::string_view l(line);
    if (l.find(marker) == std::string_view::npos || name[0] == '\0' || l.find(name) == std::string_view::npos)
      continue;
    std::string_view field = Field(l, kind == kRouteGateway ? 2 : 3);
    while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) field.remove_suffix(1);
    (void)ParseV4(field, address);
  }
  const int status = cmd_ClosePipe(std::move(pipe));
  if (status != 0) {
    log_Print(2, "IDPacket_getrouteinfo4, Command not found or exited with error status \n");
    return -1;
  }
  return 0;
}

int IDPacket_getDNSrsv4(std::uint8_t address[4], int /*index: the file is system-wide*/) {
  const std::string path = paths_Device(devpath::kResolvConf);
  kv::File file = kv::OpenFile(path.c_str(), "r");
  if (!file) {
    log_Print(2, "IDPacket_getDNSrsv4, Error opening file! %s\n", path.c_str());
    return 1;
  }
  int result = 1;
  char line[1000];
  while (result != 0 && std::fgets(line, sizeof line, file.get()) != nullptr) {
    const std::string_view l(line);
    if (l.find("nameserver ") == std::string_view::npos) continue;
    std::string_view value = Field(l, 2);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (ParseV4(value, address)) result = 0;
  }
  if (std::fclose(file.release()) != 0)
    log_Print(2, "IDPacket_getDNSrsv4, Command not found or exited with error status\n");
  return result;
}

int IdProt_IsStaticConfig(int index) {
  const std::string folder = paths_Device(devpath::kSystemdNetwork);
  const char* name = IdProt_GetInterfaceName(index);
  char path[512];
  std::snprintf(path, sizeof path, "%s%s.%s.%s", folder.c_str(), name, "vlan1", "network");
  struct stat st{};
  if (::stat(path, &st) != 0) std::snprintf(path, sizeof path, "%s%s.%s", folder.c_str(), name, "network");
  char command[700];
  std::snprintf(command, sizeof command, "sed  -n -e 's/^DHCP=//p'  %s", path);
  kv::Pipe pipe = cmd_OpenPipe(command);
  if (!pipe) {
    log_Print(1, "unable to run sed command %s\n", command);
    return 1;
  }
  char line[1000] = "";
  if (std::fgets(line, sizeof line, pipe.get()) == nullptr) line[0] = '\0';
  (void)cmd_ClosePipe(std::move(pipe));
  const std::string_view l(line);
  return (l.starts_with("yes") || l.starts_with("ipv4")) ? 0 : 1;
}

int IdProt_GetSftpStatus() {
  const std::string command =
      "sed -n '/^#*Subsystem[\\t| *]sftp[\\t| *]internal-sftp/p' " + paths_Device(devpath::kSshdConfig);
  kv::Pipe pipe = cmd_OpenPipe(command.c_str());
  if (!pipe) {
    log_SetPriority(kPriorityError);
    log_Print(1, "%s", "unable to determine sftp status\n");
    return 1;
  }
  char line[1034] = "";
  char last[1034] = "";
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) kv::CopyBounded(last, line);
  (void)cmd_ClosePipe(std::move(pipe));
  return last[0] == '#' ? 0 : 1;
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
    log_SetPriority(kPriorityError);
    log_Print(2, "%s", "IdPacket: Unable to create socket.\n");
    return 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kPcommPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    log_SetPriority(kPriorityError);
    log_Print(2, "%s", "IdPacket: Unable to bind to PCOMM port.\n");
    return 0;
  }
  return 1;
}

int IDPacket_createIDresponse(char* out, int size, DeviceIdData& id, int index, std::uint8_t appRunning) {
  if (out == nullptr || size < static_cast<int>(kNetbrText) + 2) return 0;
  utsname u{};
  ::uname(&u);
  const int isStatic = IdProt_IsStaticConfig(index);
  log_SetPriority(kPriorityDebug);
  log_Print(2, "IDPacket_createIDresponse, isStatic: %s\n", isStatic != 0 ? "true" : "false");

  std::memset(out, 0, static_cast<std::size_t>(size));
  std::memcpy(out, "NETBR", 5);
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
