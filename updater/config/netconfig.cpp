#include "config/netconfig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/identity.h"
#include "config/iniloader.h"
#include "core/bounded.h"
#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/result.h"
#include "core/safefile.h"

namespace {

constexpr std::array<const char*, kNetIfConfigured> kInterfaceNames = {"eth0",  "eth1",  "wlan0",
                                                                       "bnep0", "wwan0", "eth2"};
// Longest IPv6 text that is considered, brackets removed.
constexpr std::size_t kV6TextMax = 59;

std::array<NetIfConfig, kNetIfCount> gTable{};

// The standard dotted-quad parser, with its forms that stored files use:
// parts with leading zeros (octal), hexadecimal parts, and the short forms
// "a.b.c", "a.b" and "a" whose last part fills the remaining bytes.
std::uint32_t ParseV4(const char* text) {
  in_addr addr{};
  if (text == nullptr || ::inet_aton(text, &addr) == 0) return 0;
  return addr.s_addr;
}

// What identifies one version of a file: gone, or its inode, size and times.
struct FileVersion {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const FileVersion& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

// The entry itself, not what a link there points to: a link planted at the
// name is a version of its own, which a restore replaces.
FileVersion VersionOf(const std::string& path) {
  struct stat st {};
  FileVersion v;
  if (::lstat(path.c_str(), &st) != 0) return v;
  v.exists = true;
  v.device = st.st_dev;
  v.inode = st.st_ino;
  v.size = st.st_size;
  v.modified = st.st_mtim;
  v.changed = st.st_ctim;
  return v;
}

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A main file found unreadable: which version, and since when. The file is
// restored from the backup only when a later load finds that same version
// still unreadable after the settle time, so that a read racing a rewrite
// never throws the new configuration away.
struct PendingRestore {
  bool pending = false;
  FileVersion version;
  long long sinceMs = 0;
};
PendingRestore gRestore;
std::atomic<long long> gSettleMs{kNetRestoreSettleMs};

// The versions of the two files when the fallback to the backup was last
// logged. Every identification answer loads the configuration again; the
// fallback is logged when it starts and whenever either file changes, not
// with every answer that an unreadable main file (or a folder in its place,
// which no restore can replace) would otherwise add a line to.
struct FallbackLogged {
  bool logged = false;
  FileVersion main;
  FileVersion backup;
};
FallbackLogged gFallbackLogged;

// Replaces target by a copy of source: a temporary file in the target's
// folder, flushed, renamed over the target (only when the target is still
// the version expected), then the folder flushed. The copy keeps an
// existing target's mode and owner.
kv::Status ReplaceFromCopy(const std::string& source, const std::string& target, const FileVersion& expected) {
  struct stat sourceStat {};
  kv::Result<kv::Fd> opened = safefile_OpenRegular(source, &sourceStat);
  if (!opened) return opened.error().WithContext(source);
  const kv::Fd in = std::move(opened).value();
  std::string temp = target + ".XXXXXX";
  kv::Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out) return kv::SystemError("create " + temp);
  std::optional<kv::Error> failed;
  char block[4096];
  for (;;) {
    const ssize_t n = ::read(in.get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = kv::SystemError("read " + source);
    if (n <= 0) break;
    for (ssize_t done = 0; !failed && done < n;) {
      const ssize_t w = ::write(out.get(), block + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        failed = kv::SystemError("write " + temp, w < 0 ? errno : ENOSPC);
      else
        done += w;
    }
  }
  // The copy keeps the mode and owner of the file it replaces, when that is
  // a regular file; anything else at the name (a link to someone's file, a
  // FIFO) lends nothing, and the backup's own are taken.
  struct stat st {};
  if (!expected.exists || ::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) st = sourceStat;
  if (!failed) {
    (void)::fchmod(out.get(), st.st_mode & 07777);
    // Only root may; a failure keeps ours. (Fortified builds warn even on a
    // cast to void, so the result is held and dropped.)
    [[maybe_unused]] const int owned = ::fchown(out.get(), st.st_uid, st.st_gid);
  }
  if (!failed && ::fsync(out.get()) != 0) failed = kv::SystemError("flush " + temp);
  out.reset();
  // The last look before the swap: a writer may have come after all.
  if (!failed && !(VersionOf(target) == expected)) failed = kv::Error(0, target + " changed meanwhile");
  if (!failed && ::rename(temp.c_str(), target.c_str()) != 0) failed = kv::SystemError("rename over " + target);
  if (failed) {
    ::unlink(temp.c_str());
    return *failed;
  }
  const std::size_t slash = target.rfind('/');
  kv::Fd folder(::open(slash == std::string::npos ? "." : target.substr(0, slash + 1).c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) (void)::fsync(folder.get());
  return kv::Ok();
}

// Called with the lock held after the backup was used for the answer.
void RestoreWhenSettled(const std::string& mainPath, const std::string& backupPath, const FileVersion& seen) {
  const long long now = NowMs();
  if (!gRestore.pending || !(gRestore.version == seen)) {
    gRestore = PendingRestore{true, seen, now};
    return;
  }
  if (now - gRestore.sinceMs < gSettleMs.load()) return;
  gRestore = PendingRestore{};
  if (const kv::Status restored = ReplaceFromCopy(backupPath, mainPath, seen); restored) {
    log_Print(3, "LoadNetConfig - %s restored from %s\n", mainPath.c_str(), backupPath.c_str());
  } else {
    log_Print(3, "LoadNetConfig - %s not restored: %s\n", mainPath.c_str(), restored.error().message().c_str());
  }
}

// Stores the address when text is a valid IPv6 address, optionally enclosed
// in square brackets; anything else leaves out unchanged.
void ParseV6(const char* text, std::uint8_t out[16]) {
  if (text == nullptr) return;
  std::string_view v(text);
  if (v.size() > kV6TextMax) v = v.substr(0, kV6TextMax);
  if (!v.empty() && v.front() == '[') v.remove_prefix(1);
  if (!v.empty() && v.back() == ']') v.remove_suffix(1);
  if (v.empty()) return;
  const std::string bare(v);
  in6_addr addr{};
  if (::inet_pton(AF_INET6, bare.c_str(), &addr) == 1) std::memcpy(out, &addr, 16);
}

// Reads the keys of one netif section into its table entry.
void FillEntry(const dictionary* dict, const std::string& section, int index) {
  NetIfConfig& e = gTable[static_cast<std::size_t>(index)];
  // Keys are composed without a length cut, so a long section name still finds
  // its keys.
  auto key = [&section](const char* name) { return section + ":" + name; };

  kv::CopyBounded(e.description, ::iniparser_getstring(dict, key("description").c_str(), ""));
  kv::CopyBounded(e.interfaceName, kInterfaceNames[static_cast<std::size_t>(index)]);
  e.addressV4 = ParseV4(::iniparser_getstring(dict, key("addressv4").c_str(), ""));
  e.netmaskV4 = ParseV4(::iniparser_getstring(dict, key("netmaskv4").c_str(), ""));
  e.gatewayV4 = ParseV4(::iniparser_getstring(dict, key("gatewayv4").c_str(), ""));
  e.dnsServerV4 = ParseV4(::iniparser_getstring(dict, key("dnsnameserver1v4").c_str(), ""));
  e.dhcpV4 = static_cast<std::uint8_t>(::iniparser_getboolean(dict, key("dhcpv4").c_str(), 1));
  ParseV6(::iniparser_getstring(dict, key("addressv6").c_str(), nullptr), e.addressV6);
  e.prefixLengthV6 = static_cast<std::uint8_t>(::iniparser_getint(dict, key("netmaskv6").c_str(), 0));
  e.dhcpV6 = static_cast<std::uint8_t>(::iniparser_getboolean(dict, key("dhcpv6").c_str(), 1));
  const int mtu = ::iniparser_getint(dict, key("mtusize").c_str(), -1);
  if (mtu >= 0) e.mtu = static_cast<std::uint16_t>(mtu);
}

}  // namespace

int LoadNetConfig() {
  std::lock_guard<std::mutex> guard(config_Lock());
  const std::string mainPath = paths_Device(devpath::kNetConfig);
  kv::Dictionary dict(kv::iniparser_load(mainPath.c_str()));
  if (!dict) {
    // Taken before the backup is read: the version that was found unreadable.
    const FileVersion seen = VersionOf(mainPath);
    const std::string backupPath = paths_Device(devpath::kNetConfigBackup);
    const FileVersion backupSeen = VersionOf(backupPath);
    const bool report =
        !gFallbackLogged.logged || !(gFallbackLogged.main == seen) || !(gFallbackLogged.backup == backupSeen);
    gFallbackLogged = FallbackLogged{true, seen, backupSeen};
    if (report) {
      log_Print(0, "LoadNetConfig - Unable to parse %s, applying back up file %s", mainPath.c_str(),
                backupPath.c_str());
    }
    dict.reset(kv::iniparser_load(backupPath.c_str()));
    if (!dict) return 0;
    if (report) log_Print(0, "LoadNetConfig - Backup file used");
    // The answer uses the backup's values now; the main file is replaced
    // only once it has stayed unreadable and untouched for the settle time
    // (a failing replacement is not reported: the next load tries again).
    RestoreWhenSettled(mainPath, backupPath, seen);
  } else {
    gRestore = PendingRestore{};
    gFallbackLogged = FallbackLogged{};
  }

  const int sections = ::iniparser_getnsec(dict.get());
  int entry = 0;
  for (int i = 0; i < sections && entry < kNetIfConfigured; ++i) {
    const char* name = ::iniparser_getsecname(dict.get(), i);
    if (name == nullptr || std::strstr(name, "netif") == nullptr) continue;
    FillEntry(dict.get(), name, entry++);
  }
  return 1;
}

const char* net_GetInterfaceName(int index) {
  if (index < 0 || index >= kNetIfConfigured) return "";
  return kInterfaceNames[static_cast<std::size_t>(index)];
}

std::uint32_t net_GetCurrentAddressV4(int index) {
  const char* name = net_GetInterfaceName(index);
  if (name[0] == '\0') return 0;
  kv::Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) return 0;
  ifreq request{};
  kv::CopyBounded(request.ifr_name, name, IFNAMSIZ - 1);
  request.ifr_addr.sa_family = AF_INET;
  if (::ioctl(sock.get(), SIOCGIFADDR, &request) != 0) return 0;
  sockaddr_in addr{};
  std::memcpy(&addr, &request.ifr_addr, sizeof addr);
  return addr.sin_addr.s_addr;
}

void net_GetCurrentAddressV6(std::uint8_t out[16], int n, int index) {
  const char* name = net_GetInterfaceName(index);
  if (name[0] == '\0') {
    std::memset(out, 0, 16);
    return;
  }
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) {
    std::fputs("getifaddrs: ??? \n", stderr);
    return;
  }
  const kv::IfAddrs list(raw);
  const std::size_t nameLength = std::strlen(name);
  int count = 0;
  for (const ifaddrs* a = list.get(); a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6 || a->ifa_name == nullptr) continue;
    // A prefix test: the VLAN interfaces of a port count for the port.
    if (std::strncmp(a->ifa_name, name, nameLength) != 0) continue;
    char host[NI_MAXHOST] = "";
    if (::getnameinfo(a->ifa_addr, sizeof(sockaddr_in6), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    if (char* zone = std::strchr(host, '%')) *zone = '\0';
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, host, &parsed) != 1) continue;
    if (count == n) {
      std::memcpy(out, &parsed, 16);
      return;
    }
    ++count;
  }
  std::memset(out, 0, 16);
}

const char* net_FormatAddressV4(std::uint32_t address) {
  thread_local char text[kNetFormatV4Size];
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

void net_FormatAddressV6(char* out, std::size_t size, const std::uint8_t addr[16]) {
  if (out == nullptr || size == 0) return;
  const std::size_t room = size < kNetFormatV6Size ? size : kNetFormatV6Size;
  static constexpr std::uint8_t kZero[16] = {};
  if (std::memcmp(addr, kZero, 16) == 0) {
    kv::CopyBounded(out, room, "::");
    return;
  }
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  std::memcpy(&sa.sin6_addr, addr, 16);
  char host[NI_MAXHOST] = "";
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NUMERICHOST) !=
      0) {
    out[0] = '\0';
    return;
  }
  if (char* zone = std::strchr(host, '%')) *zone = '\0';
  kv::CopyBounded(out, room, host);
}

NetIfConfig net_SnapshotConfig(int index) {
  if (index < 0 || index >= kNetIfCount) return NetIfConfig{};
  std::lock_guard<std::mutex> guard(config_Lock());
  return gTable[static_cast<std::size_t>(index)];
}

void net_ResetConfig() {
  std::lock_guard<std::mutex> guard(config_Lock());
  gTable = {};
  gRestore = PendingRestore{};
  gFallbackLogged = FallbackLogged{};
}

void net_SetRestoreSettleMs(long long ms) { gSettleMs.store(ms); }
