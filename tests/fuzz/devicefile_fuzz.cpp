// Feeds arbitrary bytes as each device file an answer reads: "/image_info",
// "sshd_config", a systemd network file, the route table and the interface
// configuration. The streaming line filters are checked against a plain
// in-memory reading of the same rules (whole file split at line feeds,
// selected lines joined, cut into the pieces of the fixed line buffer), so
// a fault at a block boundary of the stream shows up as a difference.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/identity.h"
#include "config/netconfig.h"
#include "core/log.h"
#include "core/paths.h"
#include "idprot/idpacket.h"
#include "idprot/idserver.h"
#include "support/reference.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string gRoot;

void Write(const std::string& path, std::string_view text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// The lines of the text whose beginning selects them, each with its line
// feed (a last line without one stays without), joined.
template <typename Select>
std::string Selected(std::string_view text, Select select) {
  std::string out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    if (select(line)) {
      out.append(line);
      if (nl != std::string_view::npos) out += '\n';
    }
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return out;
}

std::optional<std::string> ImageValue(std::string_view file, std::string_view key) {
  return kvtest::ImageValueOf(
      kvtest::PiecesOf(Selected(file, [key](std::string_view l) { return l.starts_with(key); }), 1999));
}

bool SftpLine(std::string_view l) {
  std::size_t i = 0;
  while (i < l.size() && l[i] == '#') ++i;
  const std::string_view r = l.substr(i);
  auto sep = [](char c) { return c == '\t' || c == '|' || c == ' ' || c == '*'; };
  return r.size() >= 28 && r.substr(0, 9) == "Subsystem" && sep(r[9]) && r.substr(10, 4) == "sftp" && sep(r[14]) &&
         r.substr(15, 13) == "internal-sftp";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char root[] = "/tmp/kvfilefuzz.XXXXXX";
  if (::mkdtemp(root) == nullptr) return 0;
  gRoot = root;
  for (const char* d : {"/etc", "/etc/ssh", "/etc/systemd", "/etc/systemd/network", "/opt", "/opt/kv2", "/opt/kv2/etc"})
    ::mkdir((gRoot + d).c_str(), 0755);
  Write(gRoot + "/opt/kv2/etc/netinterfaces.bak", "[netif0]\ndescription = backup\n");
  paths_SetRoot(gRoot);
  log_SetSystemLog(0);
  net_SetRestoreSettleMs(1LL << 40);  // never replace the fuzzed file
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gRoot.empty()) return 0;
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  for (const char* path : {"/image_info", "/etc/ssh/sshd_config", "/etc/systemd/network/eth0.network", "/route",
                           "/opt/kv2/etc/netinterfaces.config"})
    Write(gRoot + path, file);

  const char* revision = config_GetImageRev();
  const auto expected = ImageValue(file, "image_version");
  Check((revision != nullptr) == expected.has_value());
  if (revision != nullptr) Check(*expected == revision);

  const auto machine = ImageValue(file, "image_machine");
  const int type = !machine                          ? 0
                   : machine->starts_with("kv2t")    ? 1
                   : machine->starts_with("kvretro") ? 2
                   : machine->starts_with("kvsr")    ? 3
                                                     : 0;
  Check(config_GetImageType() == type);

  const auto sftp = kvtest::PiecesOf(Selected(file, SftpLine), 1034);
  Check(IdProt_GetSftpStatus() == (!sftp.empty() && sftp.back().starts_with("#") ? 0 : 1));

  const auto dhcp = Selected(file, [](std::string_view l) { return l.starts_with("DHCP="); });
  std::string_view value = std::string_view(dhcp).substr(dhcp.empty() ? 0 : 5);
  value = value.substr(0, value.find('\0'));
  Check(IdProt_IsStaticConfig(kIdIndexEth0) == (value.starts_with("yes") || value.starts_with("ipv4") ? 0 : 1));

  std::uint8_t address[4] = {};
  Check(IDPacket_readRouteTable((gRoot + "/route").c_str(), address, static_cast<int>(size % kIdListenerCount),
                                static_cast<int>(size % 2)) == 0);

  if (LoadNetConfig() == 1) {
    for (int i = 0; i < kNetIfCount; ++i) {
      const NetIfConfig e = net_SnapshotConfig(i);
      Check(std::strlen(e.description) < kNetDescriptionSize);
    }
  }
  return 0;
}
