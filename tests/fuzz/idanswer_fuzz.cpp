// Builds identification documents from arbitrary identity texts and image
// versions for an arbitrary room, and checks what goes on the wire: never
// longer than the room, always valid JSON with every member in order, each
// text value the beginning of its full value cut outside any UTF-8
// sequence, and a document that fits left as it is.
#include <cjson/cJSON.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/identity.h"
#include "core/bounded.h"
#include "core/log.h"
#include "core/paths.h"
#include "idprot/idrequest.h"
#include "idprot/idserver.h"
#include "support/reference.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string gRoot;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char root[] = "/tmp/kvanswerfuzz.XXXXXX";
  if (::mkdtemp(root) == nullptr) return 0;
  gRoot = root;
  paths_SetRoot(gRoot);
  log_SetSystemLog(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gRoot.empty() || size < 2) return 0;
  const int space = (data[0] | (data[1] << 8)) % 4096 + 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<std::string> texts;
  while (texts.size() < 6) {
    const std::size_t cut = rest.find('\n');
    texts.emplace_back(rest.substr(0, cut));
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  texts.resize(6);
  DeviceIdData id{};
  kv::CopyBounded(id.platformName, texts[0]);
  kv::CopyBounded(id.productName, texts[1]);
  kv::CopyBounded(id.swRevision, texts[2]);
  kv::CopyBounded(id.buildDate, texts[3]);
  kv::CopyBounded(id.swBuildNumber, texts[4]);
  id.remoteAuthentication = static_cast<std::uint8_t>(size % 5);
  FILE* f = std::fopen((gRoot + "/image_info").c_str(), "w");
  if (f == nullptr) return 0;
  std::fprintf(f, "image_version=");
  std::fwrite(texts[5].data(), 1, texts[5].size(), f);
  std::fclose(f);

  static char whole[16384];
  const int full = IdProt_CreateJsonResponse(whole, sizeof whole, id, kIdIndexEth2Vlan1, 0);
  bool valid = false;
  const auto original = kvtest::MembersOf(std::string_view(whole, static_cast<std::size_t>(full)), &valid);
  Check(valid);

  static char out[4096 + 16];
  const int n = IdProt_CreateJsonResponse(out, space, id, kIdIndexEth2Vlan1, 0);
  Check(n >= 0 && n <= space - 1 && out[n] == '\0');
  if (full <= space - 1) {
    Check(std::string_view(out, static_cast<std::size_t>(n)) ==
          std::string_view(whole, static_cast<std::size_t>(full)));
    return 0;
  }
  if (n == 0) return 0;  // not even the member names fit
  const auto shortened = kvtest::MembersOf(std::string_view(out, static_cast<std::size_t>(n)), &valid);
  Check(valid && shortened.size() == original.size());
  for (std::size_t i = 0; i < original.size(); ++i) {
    const std::string& before = original[i].second;
    const std::string& after = shortened[i].second;
    Check(shortened[i].first == original[i].first);
    Check(after.size() <= before.size() && before.compare(0, after.size(), after) == 0);
    // Cut only where no UTF-8 sequence goes on (a text that begins with
    // continuation bytes can only be cut to nothing).
    Check(after.empty() || after.size() == before.size() ||
          (static_cast<unsigned char>(before[after.size()]) & 0xC0) != 0x80);
  }
  return 0;
}
