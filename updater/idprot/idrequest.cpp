#include "idprot/idrequest.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "config/netconfig.h"
#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "idprot/idpacket.h"
#include "idprot/idserver.h"
#include "idprot/jsonclient.h"
#include "idprot/progress.h"

namespace {

using kv::Json;

constexpr std::string_view kIdReq("IDREQ\0", 6);
constexpr std::string_view kBurnr("BURNR\0", 6);
constexpr std::string_view kStatus("IDUPDATESTATUS");

// The VLAN listeners have no entry of their own in the interface name table
// of the configuration; their live values are read by their own name.
bool IsVlan(int index) { return index == kIdIndexEth0Vlan1 || index == kIdIndexEth2Vlan1; }

// The first four IPv6 addresses of every interface whose name begins with
// name, in the order the system lists them; all zeros where there is none.
// One walk of the address list serves all four members.
void CurrentV6ByName(std::uint8_t out[4][16], const char* name) {
  std::memset(out, 0, 4 * 16);
  if (name[0] == '\0') return;
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) {
    std::fputs("getifaddrs: ??? \n", stderr);
    return;
  }
  const kv::IfAddrs list(raw);
  const std::size_t len = std::strlen(name);
  int count = 0;
  for (ifaddrs* a = raw; a != nullptr && count < 4; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6) continue;
    if (a->ifa_name == nullptr || std::strncmp(a->ifa_name, name, len) != 0) continue;
    sockaddr_in6 s{};
    std::memcpy(&s, a->ifa_addr, sizeof s);
    std::memcpy(out[count++], &s.sin6_addr, 16);
  }
}

// The interfaces of indexes 0 to 5 are named by the configuration's name
// table (as the live queries of the configuration module do); the VLAN
// listeners by their own names.
void CurrentV6(std::uint8_t out[4][16], int index) {
  CurrentV6ByName(out, IsVlan(index) ? IdProt_GetInterfaceName(index) : net_GetInterfaceName(index));
}

std::uint32_t CurrentV4(int index) {
  if (!IsVlan(index)) return net_GetCurrentAddressV4(index);
  std::uint8_t a[4];
  IdProt_GetInterfaceAddress(a, index);
  std::uint32_t v;
  std::memcpy(&v, a, 4);
  return v;
}

void AddV6(cJSON* object, const char* key, const std::uint8_t address[16]) {
  char text[kNetFormatV6Size];
  net_FormatAddressV6(text, sizeof text, address);
  cJSON_AddStringToObject(object, key, text);
}

// Copies the flags a JSON-RPC exchange may have changed back into the shared
// record.
void StoreApplicationFlags(const DeviceIdData& from) {
  config_UpdateIdData([&from](DeviceIdData& d) {
    d.writeBackup = from.writeBackup;
    d.forceSsl = from.forceSsl;
    d.remoteAuthentication = from.remoteAuthentication;
    d.digestAccess = from.digestAccess;
    d.sftpEnabled = from.sftpEnabled;
  });
}

// Cuts a text value to at most n bytes without splitting a UTF-8 sequence.
void CutText(char* text, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(text);
  while (n > 0 && (b[n] & 0xC0) == 0x80) --n;
  text[n] = '\0';
}

// Prints the object in compact form in at most limit characters. A document
// that is too long keeps every member: its longest text values are cut to
// one common length, as far as needed, so the document stays valid JSON and
// short values (addresses, names) keep their text. Null when even empty
// texts do not fit.
kv::CMemory<char> PrintToFit(cJSON* object, std::size_t limit) {
  for (int round = 0; round < 4; ++round) {
    kv::CMemory<char> text(cJSON_PrintUnformatted(object));
    if (!text) return text;
    const std::size_t length = std::strlen(text.get());
    if (length <= limit) return text;
    // Every byte cut from a value takes at least one byte off the printed
    // text, so cutting the excess in raw bytes is enough (escaped
    // characters give more).
    const std::size_t excess = length - limit;
    std::vector<cJSON*> texts;
    cJSON* m = nullptr;
    cJSON_ArrayForEach(m, object) {
      if (cJSON_IsString(m) && m->valuestring != nullptr) texts.push_back(m);
    }
    auto above = [&texts](std::size_t level) {
      std::size_t sum = 0;
      for (const cJSON* t : texts) {
        const std::size_t n = std::strlen(t->valuestring);
        if (n > level) sum += n - level;
      }
      return sum;
    };
    if (above(0) < excess) return nullptr;
    // The highest common length that cuts enough.
    std::size_t low = 0;
    std::size_t high = limit;
    while (low < high) {
      const std::size_t mid = (low + high + 1) / 2;
      if (above(mid) >= excess)
        low = mid;
      else
        high = mid - 1;
    }
    for (cJSON* t : texts) {
      if (std::strlen(t->valuestring) > low) CutText(t->valuestring, low);
    }
  }
  return nullptr;
}

void SendStatus(IdListener& l) {
  Json object(cJSON_CreateObject());
  progress_CreateStatusResponse(object.get());
  kv::CMemory<char> text(object ? cJSON_Print(object.get()) : nullptr);
  object.reset();
  if (!text) return;
  idserver_Transmit(l, text.get(), static_cast<int>(std::strlen(text.get())));
}

}  // namespace

IdRequestKind IdProt_ClassifyRequest(const char* request, std::size_t len) {
  if (request == nullptr) return kIdRequestUnknown;
  const std::string_view r(request, len);
  if (r.starts_with(kBurnr)) {
    return r.substr(kBurnr.size()).starts_with(kIdReq) ? kIdRequestIdentification : kIdRequestNetwork;
  }
  if (r.starts_with(kIdReq)) return kIdRequestIdentification;
  if (r.substr(0, r.find('\0')) == kStatus) return kIdRequestStatus;
  return kIdRequestUnknown;
}

bool IdProt_IsAnswer(const char* data, std::size_t len) {
  if (data == nullptr) return false;
  const std::string_view d(data, len);
  return d.starts_with("IDRSP") || d.starts_with("NETBR") || d.starts_with("CLOSED") || d.starts_with("{");
}

void IdProt_Refresh(IdListener& l) {
  config_LoadIdData();
  JsonRpcClient client;
  if (jsonClient_InitSocket(client) == 1) {
    l.appRunning = 1;
    DeviceIdData id = config_SnapshotIdData();
    if (jsonClient_Request(client, id) == 0) StoreApplicationFlags(id);
    jsonClient_Close(client);
  } else {
    DeviceIdData defaults = config_SnapshotIdData();
    IdProt_SetDefaultSecurity(defaults);
    config_SetSecurityFlags(IdSecurityFlags{defaults.sftpEnabled, defaults.pcommPortFree, defaults.writeBackup,
                                            defaults.forceSsl, defaults.digestAccess, defaults.remoteAuthentication});
  }
}

void IdProt_Dispatch(IdListener& l) {
  const std::size_t len = l.requestLength < kIdBufferSize ? l.requestLength : kIdBufferSize;
  // Never an answer to an answer: two controllers would answer each other
  // for ever.
  if (IdProt_IsAnswer(l.rxBuffer, len) || l.senderAddress.sin6_port == htons(kIdPort)) return;
  const IdRequestKind kind = IdProt_ClassifyRequest(l.rxBuffer, len);
  int n = 0;
  switch (kind) {
    case kIdRequestIdentification: {
      IdProt_Refresh(l);
      const DeviceIdData id = config_SnapshotIdData();
      std::memcpy(l.txBuffer, "IDRSP", 5);
      n = 5 + IdProt_CreateJsonResponse(l.txBuffer + 5, static_cast<int>(kIdBufferSize) - 5, id, l.interfaceIndex,
                                        l.appRunning);
      break;
    }
    case kIdRequestNetwork: {
      IdProt_Refresh(l);
      DeviceIdData id = config_SnapshotIdData();
      n = IDPacket_createIDresponse(l.txBuffer, static_cast<int>(kIdBufferSize), id, l.interfaceIndex, l.appRunning);
      config_UpdateIdData([&id](DeviceIdData& d) {
        d.sftpEnabled = id.sftpEnabled;
        d.pcommPortFree = id.pcommPortFree;
      });
      break;
    }
    case kIdRequestStatus: SendStatus(l); return;
    case kIdRequestUnknown:
      std::memcpy(l.txBuffer, "CLOSED", 6);
      n = 6;
      break;
  }
  l.txLength = n;
  l.txBuffer[n] = '\0';
  idserver_Transmit(l, l.txBuffer, n);
}

int IdProt_CreateJsonResponse(char* out, int space, const DeviceIdData& id, int index, std::uint8_t appRunning) {
  if (out == nullptr || space <= 0) return 0;
  out[0] = '\0';
  utsname u{};
  ::uname(&u);
  const char* image = config_GetImageRev();
  if (image == nullptr) image = kIdUnknownImageVersion;

  Json o(cJSON_CreateObject());
  if (!o) return 0;
  cJSON* j = o.get();
  cJSON_AddNumberToObject(j, "protocol_version", 1);
  cJSON_AddStringToObject(j, "device", id.platformName);
  cJSON_AddStringToObject(j, "device_name", u.nodename);
  cJSON_AddStringToObject(j, "os", u.sysname);
  cJSON_AddStringToObject(j, "os_version", u.release);
  cJSON_AddStringToObject(j, "os_date", u.version);
  cJSON_AddStringToObject(j, "machine", u.machine);
  cJSON_AddStringToObject(j, "image_version", image);
  cJSON_AddStringToObject(j, "sw_number", id.productName);
  cJSON_AddStringToObject(j, "sw_revision", id.swRevision);
  cJSON_AddStringToObject(j, "build_date", id.buildDate);
  cJSON_AddStringToObject(j, "build_time", id.swBuildNumber);
  cJSON_AddBoolToObject(j, "app_running", appRunning != 0);
  cJSON_AddBoolToObject(j, "sftp_enable", id.sftpEnabled != 0);
  cJSON_AddBoolToObject(j, "force_ssl", id.forceSsl != 0);
  cJSON_AddBoolToObject(j, "digest_access", id.digestAccess != 0);
  static constexpr const char* kRemote[] = {"None", "Radius", "Tacacs", "Ldap"};
  if (id.remoteAuthentication < std::size(kRemote))
    cJSON_AddStringToObject(j, "remote_authentication", kRemote[id.remoteAuthentication]);

  (void)LoadNetConfig();  // on failure the table keeps its last contents
  const NetIfConfig c = net_SnapshotConfig(index);
  cJSON_AddStringToObject(j, "interface_description", c.description);
  cJSON_AddStringToObject(j, "interface_name", IsVlan(index) ? IdProt_GetInterfaceName(index) : c.interfaceName);
  std::uint8_t mac[6];
  IdProt_GetInterfaceMac(mac, index);
  char macText[18];
  std::snprintf(macText, sizeof macText, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3], mac[4],
                mac[5]);
  cJSON_AddStringToObject(j, "mac", macText);
  cJSON_AddNumberToObject(j, "mtu_size", c.mtu);
  cJSON_AddBoolToObject(j, "dhcpv4_enable", c.dhcpV4 != 0);
  cJSON_AddStringToObject(j, "current_addressv4", net_FormatAddressV4(CurrentV4(index)));
  cJSON_AddStringToObject(j, "static_addressv4", net_FormatAddressV4(c.addressV4));
  cJSON_AddStringToObject(j, "netmaskv4", net_FormatAddressV4(c.netmaskV4));
  cJSON_AddStringToObject(j, "gatewayv4", net_FormatAddressV4(c.gatewayV4));
  cJSON_AddStringToObject(j, "dnsnameserver1v4", net_FormatAddressV4(c.dnsServerV4));
  cJSON_AddBoolToObject(j, "dhcpv6_enable", c.dhcpV6 != 0);
  cJSON_AddNumberToObject(j, "netmaskv6", c.prefixLengthV6);
  static constexpr const char* kCurrentV6[] = {"current_address1v6", "current_address2v6", "current_address3v6",
                                               "current_address4v6"};
  std::uint8_t current[4][16];
  CurrentV6(current, index);
  for (int i = 0; i < 4; ++i) AddV6(j, kCurrentV6[i], current[i]);
  AddV6(j, "static_addressv6", c.addressV6);

  kv::CMemory<char> text = PrintToFit(j, static_cast<std::size_t>(space) - 1);
  if (!text) return 0;
  return static_cast<int>(kv::CopyBounded(out, static_cast<std::size_t>(space), text.get()));
}
