#include "idprot/appuser.h"

#include <pwd.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "core/statefile.h"

std::optional<uid_t> appuser_Uid() {
  const std::string path = paths_Device(devpath::kAppUser);
  // One byte beyond the cap tells a longer file from one at the cap.
  const kv::Result<std::string> text = statefile_Read(path, kAppUserCap + 1);
  if (!text) {
    if (!safefile_IsMissing(text.error()))
      log_Print(3, "appuser_Uid, setting not used: %s\n", text.error().message().c_str());
    return std::nullopt;
  }
  std::string_view name(text.value());
  if (name.size() > kAppUserCap) {
    log_Print(3, "appuser_Uid, %s is larger than %d bytes\n", path.c_str(), static_cast<int>(kAppUserCap));
    return std::nullopt;
  }
  if (name.ends_with('\n')) name.remove_suffix(1);
  bool printable = !name.empty();
  for (const char c : name) printable = printable && c > ' ' && c < 0x7F && c != ':';
  if (!printable) {
    log_Print(3, "appuser_Uid, %s does not hold one user name\n", path.c_str());
    return std::nullopt;
  }
  const std::string user(name);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  const int rc = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0 || found == nullptr) {
    log_Print(3, "appuser_Uid, user %s of %s unknown\n", user.c_str(), path.c_str());
    return std::nullopt;
  }
  return found->pw_uid;
}
