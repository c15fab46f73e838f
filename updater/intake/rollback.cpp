#include "intake/rollback.h"

#include "core/paths.h"
#include "core/statefile.h"
#include "core/version.h"

int rollback_DowngradeAllowed() { return statefile_IsOwn(paths_Device(devpath::kAllowDowngrade)) ? 1 : 0; }

int rollback_Refused(const char* candidate, const char* running) {
  if (candidate == nullptr || running == nullptr || candidate[0] == '\0' || running[0] == '\0') return 0;
  if (version_Compare(candidate, running) >= 0) return 0;
  return rollback_DowngradeAllowed() == 1 ? 0 : 1;
}
