#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/handles.h"
#include "idprot/idpacket.h"
#include "kvid/kvid.h"

namespace kvid {
namespace {

using kv::Json;

bool Text(const cJSON* o, const char* key, std::string& out, std::string* sent = nullptr) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
  if (!cJSON_IsString(v)) return false;
  out = Shown(v->valuestring, false);
  if (sent != nullptr) *sent = ValidUtf8(v->valuestring);
  return true;
}

// The "nonce" member as it came: absent, its text, or "" when it is no text
// (which then matches no nonce).
std::optional<std::string> NonceMember(const cJSON* o) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, "nonce");
  if (v == nullptr) return std::nullopt;
  return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
}

// Parses one JSON document that fills text, but for trailing white space or
// NULs: a document with anything else behind it is not a controller's.
kv::Result<Json> ParseWhole(std::string_view text, const char* what) {
  const char* end = nullptr;
  Json doc(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, false));
  if (!cJSON_IsObject(doc.get())) return kv::Error(0, std::string(what) + " is not JSON");
  for (const char* p = end; p != nullptr && p < text.data() + text.size(); ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\0')
      return kv::Error(0, std::string("bytes after the ") + what);
  }
  return doc;
}

// The document as cJSON writes it, without the protocol's "nonce" member.
std::string Reserialised(cJSON* doc, bool formatted) {
  cJSON_DeleteItemFromObjectCaseSensitive(doc, "nonce");
  char* text = formatted ? cJSON_Print(doc) : cJSON_PrintUnformatted(doc);
  if (text == nullptr) return std::string();
  std::string out(text);
  cJSON_free(text);
  return out;
}

bool Number(const cJSON* o, const char* key, int& out) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
  if (!cJSON_IsNumber(v)) return false;
  out = v->valueint;
  return true;
}

std::string V4(const std::uint8_t a[4]) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, a, text, sizeof text);
  return text;
}

std::string Mac(const std::uint8_t m[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return text;
}

bool AllZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// The length of the valid UTF-8 sequence that starts text (0 when it is none:
// a C0 control, DEL, a stray byte such as a raw C1 0x9B, a cut or overlong
// sequence); control says whether its code point is a control character.
std::size_t Utf8Sequence(std::string_view text, bool& control) {
  control = false;
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) {
    control = c < 0x20 || c == 0x7f;
    return 1;
  }
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
    cp = c & 0x1fU;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    cp = c & 0x0fU;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    cp = c & 0x07U;
  } else {
    return 0;  // a continuation byte (raw C1 among them) or one never valid
  }
  if (text.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xc0U) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3fU);
  }
  const std::uint32_t least = n == 2 ? 0x80 : (n == 3 ? 0x800 : 0x10000);
  if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;  // overlong, beyond, surrogate
  control = cp <= 0x9f;                                                         // C1 in UTF-8
  return n;
}

}  // namespace

std::string Shown(std::string_view text, bool keepLayout) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const char c = text.front();
    bool control = false;
    const std::size_t n = Utf8Sequence(text, control);
    if (n != 0 && !control) {
      out.append(text.substr(0, n));
    } else {
      // One '?' for a control character, whatever its length, and one for
      // each byte that is not UTF-8.
      out += keepLayout && (c == '\t' || c == '\n' || c == '\r') ? c : '?';
    }
    text.remove_prefix(n != 0 ? n : 1);
  }
  return out;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    bool control = false;
    const std::size_t n = Utf8Sequence(text, control);
    if (n != 0) {
      out.append(text.substr(0, n));
    } else {
      out += '?';
    }
    text.remove_prefix(n != 0 ? n : 1);
  }
  return out;
}

Nonce NewNonce() {
  Nonce n{};
  std::size_t have = 0;
  while (have < n.size()) {
    const ssize_t got = ::getrandom(n.data() + have, n.size() - have, 0);
    if (got > 0) have += static_cast<std::size_t>(got);
    // EINTR: again. The kernel's pool is ready on any system that runs us.
  }
  return n;
}

std::string NonceHex(const Nonce& nonce) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : nonce) {
    out += kHex[b >> 4];
    out += kHex[b & 0x0fU];
  }
  return out;
}

std::string ExtendedRequest(std::string_view fixedPart, const Cookie& cookie, const Nonce& nonce) {
  std::string out(fixedPart);
  out += "KVX1";
  out.append(reinterpret_cast<const char*>(cookie.data()), cookie.size());
  out.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  return out;
}

std::optional<CookieAnswer> DecodeCookieAnswer(std::string_view answer) {
  CookieAnswer out;
  if (answer.size() != 5 + out.cookie.size() + out.nonce.size() || answer.substr(0, 5) != "IDCKE") return std::nullopt;
  std::memcpy(out.cookie.data(), answer.data() + 5, out.cookie.size());
  std::memcpy(out.nonce.data(), answer.data() + 5 + out.cookie.size(), out.nonce.size());
  return out;
}

Freshness JudgeNonce(const std::optional<std::string>& echoed, const Nonce& asked, const Peer& peer) {
  if (!echoed) return peer.extended ? Freshness::kStale : Freshness::kUnverified;
  return *echoed == NonceHex(asked) ? Freshness::kVerified : Freshness::kStale;
}

kv::Result<Identity> DecodeIdentity(std::string_view answer) {
  if (answer.substr(0, 5) != "IDRSP") return kv::Error(0, "answer does not begin with IDRSP");
  Identity out;
  auto parsed = ParseWhole(answer.substr(5), "identification document");
  if (!parsed) return parsed.error();
  Json doc = std::move(parsed).value();
  const cJSON* app = cJSON_GetObjectItemCaseSensitive(doc.get(), "app_running");
  Identity::Sent& sent = out.sent;
  if (!Text(doc.get(), "device", out.device, &sent.device) ||
      !Text(doc.get(), "sw_revision", out.swRevision, &sent.swRevision) ||
      !Text(doc.get(), "image_version", out.imageVersion, &sent.imageVersion) || !cJSON_IsBool(app)) {
    return kv::Error(0, "identification document lacks device, sw_revision, image_version or app_running");
  }
  out.appRunning = cJSON_IsTrue(app);
  (void)Text(doc.get(), "interface_name", out.interfaceName, &sent.interfaceName);
  (void)Text(doc.get(), "mac", out.mac, &sent.mac);
  (void)Text(doc.get(), "device_name", out.deviceName, &sent.deviceName);
  (void)Text(doc.get(), "current_addressv4", out.addressV4);
  for (const char* key :
       {"current_addressv4", "current_address1v6", "current_address2v6", "current_address3v6", "current_address4v6"}) {
    std::string a;
    if (Text(doc.get(), key, a) && !a.empty()) out.ownAddresses.push_back(std::move(a));
  }
  out.nonce = NonceMember(doc.get());
  out.json = Shown(Reserialised(doc.get(), false), false);
  return out;
}

std::string IdentityLine(const std::string& address, const Identity& id) {
  return address + "\t" + id.device + "\t" + id.swRevision + "\t" + id.imageVersion + "\t" +
         (id.appRunning ? "app running" : "no app") + "\t" + (id.mac.empty() ? "-" : id.mac) + "\t" +
         (id.addressV4.empty() ? "-" : id.addressV4);
}

bool SameInterface(const std::string& fromA, const Identity& a, const std::string& fromB, const Identity& b) {
  const auto lists = [](const Identity& id, const std::string& address) {
    return std::find(id.ownAddresses.begin(), id.ownAddresses.end(), address) != id.ownAddresses.end();
  };
  return !a.mac.empty() && a.mac != "00:00:00:00:00:00" && a.mac == b.mac && a.interfaceName == b.interfaceName &&
         lists(a, fromB) && lists(b, fromA);
}

kv::Result<Status> DecodeStatus(std::string_view answer) {
  Status out;
  auto parsed = ParseWhole(answer, "status document");
  if (!parsed) return parsed.error();
  Json doc = std::move(parsed).value();
  const cJSON* d = doc.get();
  if (!Number(d, "totalProgress", out.totalProgress) || !Number(d, "componentProgress", out.componentProgress) ||
      !Number(d, "currentActionCode", out.actionCode) || !Number(d, "currentErrorNumber", out.errorNumber) ||
      !Number(d, "elapsedTimeSecs", out.elapsed) || !Number(d, "msgSeqNumber", out.sequence) ||
      !Text(d, "currentActionDescription", out.action, &out.sent.action) ||
      !Text(d, "currentErrorDescription", out.error)) {
    return kv::Error(0, "status document lacks progress, action or error members");
  }
  (void)Text(d, "timedate", out.timedate);
  (void)Text(d, "serverName", out.serverName, &out.sent.serverName);
  (void)Text(d, "serverRevision", out.serverRevision, &out.sent.serverRevision);
  (void)Text(d, "bundleFilename", out.bundle);
  out.nonce = NonceMember(d);
  out.json = Shown(Reserialised(doc.get(), true), true);
  return out;
}

std::string StatusReport(const std::string& address, const Status& s) {
  char buf[2048];
  std::snprintf(buf, sizeof buf,
                "controller   %s\naction       %s (%d)\nprogress     %d%% (component %d%%)\nerror        %s (%d)\n"
                "elapsed      %d s\nbundle       %s\nserver       %s, revision %s\ntime         %s\nsequence     %d\n",
                address.c_str(), s.action.c_str(), s.actionCode, s.totalProgress, s.componentProgress, s.error.c_str(),
                s.errorNumber, s.elapsed, s.bundle.empty() ? "-" : s.bundle.c_str(), s.serverName.c_str(),
                s.serverRevision.c_str(), s.timedate.c_str(), s.sequence);
  return buf;
}

std::string ProgressLine(const Status& s) {
  const int p = s.totalProgress < 0 ? 0 : (s.totalProgress > 100 ? 100 : s.totalProgress);
  std::string bar(20, '.');
  for (int i = 0; i < p / 5; ++i) bar[static_cast<std::size_t>(i)] = '#';
  char buf[512];
  std::snprintf(buf, sizeof buf, "[%s] %3d%%  %s  (%d s)%s%s", bar.c_str(), p, s.action.c_str(), s.elapsed,
                s.errorNumber != 0 ? "  error: " : "", s.errorNumber != 0 ? s.error.c_str() : "");
  return buf;
}

bool UpdateEnded(const Status& s) { return s.actionCode == 2 || s.actionCode == 3 || s.errorNumber != 0; }
bool UpdateSucceeded(const Status& s) { return s.actionCode == 2 && s.errorNumber == 0; }
bool SameEnding(const Status& a, const Status& b) {
  return UpdateEnded(a) && UpdateEnded(b) && UpdateSucceeded(a) == UpdateSucceeded(b) && a.errorNumber == b.errorNumber;
}

kv::Result<NetworkRecord> DecodeNetworkRecord(std::string_view answer) {
  if (answer.size() < kNetbrText + 2) return kv::Error(0, "network record shorter than its fixed part");
  if (answer.substr(0, 5) != "NETBR") return kv::Error(0, "answer does not begin with NETBR");
  NetworkRecord r;
  const auto* b = reinterpret_cast<const std::uint8_t*>(answer.data());
  r.length = (std::uint32_t{b[5]} << 24) | (std::uint32_t{b[6]} << 16) | (std::uint32_t{b[7]} << 8) | b[8];
  std::memcpy(r.staticAddress, b + kNetbrStaticAddress, 4);
  std::memcpy(r.staticNetmask, b + kNetbrStaticNetmask, 4);
  std::memcpy(r.staticGateway, b + kNetbrStaticGateway, 4);
  std::memcpy(r.staticDns, b + kNetbrStaticDns, 4);
  std::memcpy(r.mac, b + kNetbrMac1, 6);
  std::memcpy(r.mac2, b + kNetbrMac2, 6);
  std::memcpy(r.dhcpAddress, b + kNetbrDhcpAddress, 4);
  std::memcpy(r.dhcpNetmask, b + kNetbrDhcpNetmask, 4);
  std::memcpy(r.dhcpGateway, b + kNetbrDhcpGateway, 4);
  std::memcpy(r.dhcpDns, b + kNetbrDhcpDns, 4);
  r.flags = b[kNetbrFlags];
  std::memcpy(r.trailer, b + 148, 5);
  const std::string_view text = answer.substr(kNetbrText);
  const std::size_t first = text.find('\0');
  const std::size_t second = first == std::string_view::npos ? first : text.find('\0', first + 1);
  if (second == std::string_view::npos) return kv::Error(0, "network record text part lacks its NULs");
  r.platform = Shown(text.substr(0, first), false);
  r.text = Shown(text.substr(first + 1, second - first - 1), false);
  return r;
}

namespace {

// Which block of the record is filled: only one is, by the daemon's rule.
const char* Configuration(const NetworkRecord& r) {
  const bool isStatic = !AllZero(r.staticAddress, 4) || !AllZero(r.staticNetmask, 4) || !AllZero(r.staticGateway, 4) ||
                        !AllZero(r.staticDns, 4);
  const bool isDhcp =
      !AllZero(r.dhcpAddress, 4) || !AllZero(r.dhcpNetmask, 4) || !AllZero(r.dhcpGateway, 4) || !AllZero(r.dhcpDns, 4);
  return isStatic ? "static" : (isDhcp ? "dhcp" : "none");
}

}  // namespace

std::string NetworkReport(const std::string& address, std::size_t size, const NetworkRecord& r) {
  char buf[4096];
  std::snprintf(buf, sizeof buf,
                "NETBR from %s, %zu bytes\nlength             %u\nconfiguration      %s\n"
                "static address     %s\nstatic netmask     %s\nstatic gateway     %s\nstatic nameserver  %s\n"
                "mac                %s\nmac (copy)         %s\n"
                "dhcp address       %s\ndhcp netmask       %s\ndhcp gateway       %s\ndhcp nameserver    %s\n"
                "flags              0x%02X (sftp %s, PCOMM port %s, write backup %s)\n"
                "trailer            %02X %02X %02X %02X %02X\nplatform           %s\ntext               %s\n",
                address.c_str(), size, r.length, Configuration(r), V4(r.staticAddress).c_str(),
                V4(r.staticNetmask).c_str(), V4(r.staticGateway).c_str(), V4(r.staticDns).c_str(), Mac(r.mac).c_str(),
                Mac(r.mac2).c_str(), V4(r.dhcpAddress).c_str(), V4(r.dhcpNetmask).c_str(), V4(r.dhcpGateway).c_str(),
                V4(r.dhcpDns).c_str(), r.flags, (r.flags & kNetbrFlagSftp) != 0 ? "enabled" : "disabled",
                (r.flags & kNetbrFlagPcommFree) != 0 ? "free" : "in use",
                (r.flags & kNetbrFlagWriteBackup) != 0 ? "on" : "off", r.trailer[0], r.trailer[1], r.trailer[2],
                r.trailer[3], r.trailer[4], r.platform.c_str(), r.text.c_str());
  return buf;
}

}  // namespace kvid

namespace kvid {

std::string NetworkJson(const std::string& address, std::size_t size, const NetworkRecord& r) {
  const Json doc(cJSON_CreateObject());
  if (!doc) return "{}";
  cJSON* o = doc.get();
  const auto text = [o](const char* key, const std::string& value) { cJSON_AddStringToObject(o, key, value.c_str()); };
  text("from", address);
  cJSON_AddNumberToObject(o, "size", static_cast<double>(size));
  cJSON_AddNumberToObject(o, "length", r.length);
  text("configuration", Configuration(r));
  text("static_address", V4(r.staticAddress));
  text("static_netmask", V4(r.staticNetmask));
  text("static_gateway", V4(r.staticGateway));
  text("static_nameserver", V4(r.staticDns));
  text("mac", Mac(r.mac));
  text("mac_copy", Mac(r.mac2));
  text("dhcp_address", V4(r.dhcpAddress));
  text("dhcp_netmask", V4(r.dhcpNetmask));
  text("dhcp_gateway", V4(r.dhcpGateway));
  text("dhcp_nameserver", V4(r.dhcpDns));
  cJSON_AddNumberToObject(o, "flags", r.flags);
  cJSON_AddBoolToObject(o, "sftp", (r.flags & kNetbrFlagSftp) != 0);
  cJSON_AddBoolToObject(o, "pcomm_port_free", (r.flags & kNetbrFlagPcommFree) != 0);
  cJSON_AddBoolToObject(o, "write_backup", (r.flags & kNetbrFlagWriteBackup) != 0);
  char trailer[16];
  std::snprintf(trailer, sizeof trailer, "%02X %02X %02X %02X %02X", r.trailer[0], r.trailer[1], r.trailer[2],
                r.trailer[3], r.trailer[4]);
  text("trailer", trailer);
  text("platform", r.platform);
  text("text", r.text);
  char* printed = cJSON_PrintUnformatted(o);
  if (printed == nullptr) return "{}";
  std::string out(printed);
  cJSON_free(printed);
  return out;
}

}  // namespace kvid
