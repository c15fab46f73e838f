// The bundle header reader and the manifest step over arbitrary input: the
// input is read as header bytes, and written as "allinfo.json" into a fixed
// bundle folder whose manifest steps then run until the manifest is used up.
// Whatever the manifest says, nothing outside the bundle and watch folders
// may change.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/identity.h"
#include "core/log.h"
#include "core/paths.h"
#include "intake/bundle.h"

namespace {

void Write(const std::string& path, const void* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

const std::string& Root() {
  static const std::string root = [] {
    char name[] = "/tmp/kvfuzz-bundle.XXXXXX";
    std::string r = ::mkdtemp(name) != nullptr ? name : "/tmp/kvfuzz-bundle";
    for (const char* folder : {"/opt/kv2/swfw", "/opt/kv2/log", "/home/root/bundle", "/etc"}) {
      std::filesystem::create_directories(r + folder);
    }
    Write(r + "/image_info", "image_machine=kv2t\nimage_version=rev-7\n", 38);
    Write(r + "/etc/victim", "secret", 6);
    log_SetSystemLog(0);
    log_SetVerbose(-1);
    paths_SetRoot(r);
    config_SetPlatform(config_GetImageType());
    return r;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int length = bundle_HeaderLengthFromText(reinterpret_cast<const char*>(data), size);
  (void)length;

  const std::string& root = Root();
  const std::string bundle = root + "/home/root/bundle/";
  for (const char* member : {"app.ipk", "image.cry", "image.sign64", "other.bin"}) Write(bundle + member, "m", 1);
  Write(bundle + "allinfo.json", data, size);
  for (int step = 0; step < 8; ++step) {
    const int result = scandir_CheckAndPrepInstaller(bundle.c_str(), paths_WatchFolder());
    if (result < 0 || (result > 4 && result != kBundleCleanup)) __builtin_trap();
    if (result == 0 || result == kBundleCleanup) break;
  }
  struct stat st {};
  if (::stat((root + "/etc/victim").c_str(), &st) != 0 || st.st_size != 6) __builtin_trap();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/opt/kv2/swfw", ec)) {
    std::filesystem::remove(entry.path(), ec);
  }
  return 0;
}
