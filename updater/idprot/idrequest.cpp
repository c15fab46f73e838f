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
#include "idprot/idiface.h"
#include "idprot/idpacket.h"
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

// The nonce as 16 lower-case hex digits.
void NonceText(char out[2 * kIdNonceSize + 1], const std::uint8_t nonce[kIdNonceSize]) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < kIdNonceSize; ++i) {
    out[2 * i] = kHex[nonce[i] >> 4];
    out[2 * i + 1] = kHex[nonce[i] & 15];
  }
  out[2 * kIdNonceSize] = '\0';
}

int Copy(char* out, std::size_t space, const char* text) {
  const std::size_t n = std::strlen(text);
  if (n + 1 > space) return 0;
  std::memcpy(out, text, n + 1);
  return static_cast<int>(n);
}

int BuildStatus(const IdAnswerFor& what, char* out, std::size_t space) {
  Json object(cJSON_CreateObject());
  if (!object) return 0;
  progress_CreateStatusResponse(object.get());
  if (what.withNonce) {
    char nonce[2 * kIdNonceSize + 1];
    NonceText(nonce, what.nonce);
    cJSON_AddStringToObject(object.get(), "nonce", nonce);
  }
  kv::CMemory<char> text(cJSON_Print(object.get()));
  return text ? Copy(out, space, text.get()) : 0;
}

// The fixed part of a request of kind: where its extension would begin.
std::size_t FixedPart(const char* request, std::size_t len, IdRequestKind kind) {
  const std::string_view r(request, len);
  switch (kind) {
    case kIdRequestIdentification: return r.starts_with(kBurnr) ? kBurnr.size() + kIdReq.size() : kIdReq.size();
    case kIdRequestNetwork: return kBurnr.size();
    case kIdRequestStatus: return kStatus.size() + 1;  // the NUL is needed: old daemons read up to it
    case kIdRequestUnknown: break;
  }
  return len + 1;
}

int JsonResponse(char* out, int space, const DeviceIdData& id, int index, std::uint8_t appRunning,
                 const std::uint8_t* nonce);

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
  return d.starts_with("IDRSP") || d.starts_with("NETBR") || d.starts_with("CLOSED") || d.starts_with("IDCKE") ||
         d.starts_with("{");
}

IdExtension IdProt_ParseExtension(const char* request, std::size_t len, IdRequestKind kind) {
  IdExtension e;
  if (request == nullptr) return e;
  const std::size_t at = FixedPart(request, len, kind);
  if (at > len || len - at < kIdExtensionSize || std::memcmp(request + at, "KVX1", 4) != 0) return e;
  // A status request's fixed part ends with its NUL.
  if (kind == kIdRequestStatus && request[at - 1] != '\0') return e;
  e.present = true;
  std::memcpy(e.cookie, request + at + 4, kIdCookieSize);
  std::memcpy(e.nonce, request + at + 4 + kIdCookieSize, kIdNonceSize);
  return e;
}

int IdProt_BuildCookieAnswer(const std::uint8_t cookie[kIdCookieSize], const std::uint8_t nonce[kIdNonceSize],
                             char* out, std::size_t space) {
  if (out == nullptr || space < kIdCookieAnswerSize) return 0;
  std::memcpy(out, "IDCKE", 5);
  std::memcpy(out + 5, cookie, kIdCookieSize);
  std::memcpy(out + 5 + kIdCookieSize, nonce, kIdNonceSize);
  if (space > kIdCookieAnswerSize) out[kIdCookieAnswerSize] = '\0';
  return static_cast<int>(kIdCookieAnswerSize);
}

int IdProt_BuildAnswer(const IdAnswerFor& what, char* out, std::size_t space) {
  if (out == nullptr || space == 0) return 0;
  const std::size_t room = space - 1 < kIdBufferSize ? space - 1 : kIdBufferSize;
  int n = 0;
  switch (what.kind) {
    case kIdRequestIdentification: {
      if (room < 5) return 0;
      const DeviceIdData id = config_SnapshotIdData();
      std::memcpy(out, "IDRSP", 5);
      // The document and its terminator in the room behind the keyword: at
      // most 2,047 bytes in all, as it always was.
      n = 5 + JsonResponse(out + 5, static_cast<int>(room - 5), id, what.interfaceIndex, what.appRunning,
                           what.withNonce ? what.nonce : nullptr);
      break;
    }
    case kIdRequestNetwork: {
      DeviceIdData id = config_SnapshotIdData();
      n = IDPacket_createIDresponse(out, static_cast<int>(room), id, what.interfaceIndex, what.appRunning);
      config_UpdateIdData([&id](DeviceIdData& d) {
        d.sftpEnabled = id.sftpEnabled;
        d.pcommPortFree = id.pcommPortFree;
      });
      break;
    }
    case kIdRequestStatus: return BuildStatus(what, out, room + 1);
    case kIdRequestUnknown:
      if (room < 6) return 0;
      std::memcpy(out, "CLOSED", 6);
      n = 6;
      break;
  }
  if (n < 0) n = 0;
  out[n] = '\0';
  return n;
}

int IdProt_Dispatch(const char* request, std::size_t len, int interfaceIndex, std::uint8_t appRunning, char* out,
                    std::size_t space) {
  if (IdProt_IsAnswer(request, len)) return 0;
  IdAnswerFor what;
  what.kind = IdProt_ClassifyRequest(request, len);
  what.interfaceIndex = interfaceIndex;
  what.appRunning = appRunning;
  return IdProt_BuildAnswer(what, out, space);
}

int IdProt_CreateJsonResponse(char* out, int space, const DeviceIdData& id, int index, std::uint8_t appRunning) {
  return JsonResponse(out, space, id, index, appRunning, nullptr);
}

namespace {

int JsonResponse(char* out, int space, const DeviceIdData& id, int index, std::uint8_t appRunning,
                 const std::uint8_t* nonce) {
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
  if (nonce != nullptr) {
    char text[2 * kIdNonceSize + 1];
    NonceText(text, nonce);
    cJSON_AddStringToObject(j, "nonce", text);
  }

  kv::CMemory<char> text = PrintToFit(j, static_cast<std::size_t>(space) - 1);
  if (!text) return 0;
  return static_cast<int>(kv::CopyBounded(out, static_cast<std::size_t>(space), text.get()));
}

}  // namespace
