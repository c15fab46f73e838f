// The ipk control-file reader and the install-lock reader over arbitrary file
// content (both read a file the outside world can shape).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "intake/cleanup.h"
#include "intake/opkg.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/kvfuzz-control.XXXXXX";
    const char* made = ::mkdtemp(name);
    return std::string(made != nullptr ? made : "/tmp") + "/";
  }();
  return folder;
}

void Write(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& folder = Folder();
  Write(folder + "control", data, size);
  opkg_ClearControlInfo();
  const int result = opkg_extractControlInfo(folder.c_str());
  const OpkgControlInfo& info = opkg_GetControlInfo();
  if (result > 4 || std::strlen(info.package) > 1000 || std::strlen(info.version) > 1000) __builtin_trap();

  Write(folder + kLockName, data, size);
  const int expired = scandir_LockfileExpired(folder.c_str(), kLockName, kLockExpirySeconds);
  if (expired != 0 && expired != 1) __builtin_trap();
  return 0;
}
