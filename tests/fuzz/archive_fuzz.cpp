// The in-process archive readers over arbitrary bytes: the input is unpacked
// as an ipk (its control data) and, behind a fixed header, as a bundle
// payload. Whatever it claims, nothing is written outside the work and
// bundle folders, and what is written never exceeds what the input holds
// plus the control file's cap.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "intake/bundle.h"
#include "intake/opkg.h"

namespace {

void Write(const std::string& path, const void* head, std::size_t headSize, const void* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(head, 1, headSize, f);
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

const std::string& Root() {
  static const std::string root = [] {
    char name[] = "/tmp/kvfuzz-archive.XXXXXX";
    std::string r = ::mkdtemp(name) != nullptr ? name : "/tmp/kvfuzz-archive";
    for (const char* folder : {"/opt/kv2/swfw", "/opt/kv2/log", "/home/root/bundle", "/etc"}) {
      std::filesystem::create_directories(r + folder);
    }
    Write(r + "/etc/victim", "secret", 6, nullptr, 0);
    log_SetSystemLog(0);
    log_SetVerbose(-1);
    paths_SetRoot(r);
    return r;
  }();
  return root;
}

// Bytes of the regular files below folder; traps on anything else there.
std::uintmax_t Written(const std::string& folder) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (entry.is_directory(ec)) continue;
    if (!entry.is_regular_file(ec) || entry.is_symlink(ec)) __builtin_trap();
    total += entry.file_size(ec);
  }
  return total;
}

void Empty(const std::string& folder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) std::filesystem::remove_all(entry, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& root = Root();
  const std::string work = root + "/home/root/";
  const std::string bundle = work + "bundle/";
  const std::string watch = root + "/opt/kv2/swfw/";

  // As an ipk: only the control file may come out of it, within its cap.
  Write(work + "in.ipk", nullptr, 0, data, size);
  opkg_ClearControlInfo();
  (void)opkg_Unpack(work.c_str(), "in.ipk");
  std::error_code ec;
  std::filesystem::remove(work + "in.ipk", ec);
  if (Written(work) > 64 * 1024) __builtin_trap();
  std::filesystem::remove(work + "control", ec);

  // As a bundle payload behind a 512-byte header: what lands in the bundle
  // folder is no more than the payload held.
  std::string header = "HEADERLENGTH: 512\r\nFILETYPE: UPDATE\r\n\r\n";
  header.resize(512, '\0');
  Write(watch + "in.CRY", header.data(), header.size(), data, size);
  (void)bundle_UnPack(watch.c_str(), "in.CRY", work.c_str());
  if (Written(bundle) > size) __builtin_trap();
  Empty(bundle);
  Empty(watch);

  struct stat st {};
  if (::stat((root + "/etc/victim").c_str(), &st) != 0 || st.st_size != 6) __builtin_trap();
  return 0;
}
