// The road of an encrypted application container: taken into the work
// folder, its header checked, its payload decrypted into a package in the
// watch folder, which a later pass takes along the ipk road.
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "intake/cleanup.h"
#include "road/roads.h"
#include "security/cryheader.h"
#include "security/decrypt.h"

namespace {

StepResult Take(RoadContext& ctx) { return roadstep::Take(ctx); }

// The container is read only after it was taken into the work folder.
StepResult Decrypt(RoadContext& ctx) {
  const char* watch = paths_WatchFolder();
  const char* work = paths_WorkFolder();
  const std::string path = work + ctx.item;
  log_Print(1, "Main, do integrity check on cryfile %s\n", path.c_str());
  if (Decrypt_CheckInstallerFile(&ctx.offset, path.c_str()) != 1) {
    scandir_DeleteSomefiles(work, {ctx.item.c_str()});
    roadstep::DeleteFiles(watch, {"LOCK", "IPKTMP"});
    log_PrintPriority(kPriorityError, 1, "Main, integrity check on cryfile failed, cleaning up\n");
    return kv::Error(0, "integrity check failed");
  }
  log_Print(1, "Main, integrity check on cryfile %s successful\n", path.c_str());
  scandir_Deletefiles(work, "IPK");
  const int result = DeCrypt(path.c_str(), watch, ctx.offset);
  if (result == -1) {
    log_PrintPriority(kPriorityError, 1, "Main, decryption failed:%d, cleaning up\n", result);
    scandir_DeleteSomefiles(work, {ctx.item.c_str()});
    scandir_Deletefiles(work, "IPK");
    scandir_Deletefiles(work, "IPKTMP");
    scandir_DeleteSomefiles(watch, {kLockName});
    return kv::Error(0, "decryption failed");
  }
  // The decrypted package, flushed and named in the watch folder, takes the
  // container's base name. The journal names it before the container goes:
  // a kill in between leaves a container that is decrypted again.
  const char* dot = std::strrchr(ctx.found.c_str(), '.');
  ctx.next =
      ctx.found.substr(0, dot != nullptr ? static_cast<std::size_t>(dot - ctx.found.c_str()) : ctx.found.size()) +
      ".ipk";
  roadstep::HandOver(ctx);
  scandir_DeleteSomefiles(work, {ctx.item.c_str()});
  scandir_Deletefiles(watch, "IPKTMP");
  log_Print(1, "Main, decrypter successfully executed\n");
  return StepEnd::kOver;
}

constexpr RoadStep kSteps[] = {
    {"take", true, "the container in the work folder (or still in the watch folder)",
     "goes on (checked and decrypted again) when the container lies in the work folder", Take, roadstep::ResumeTake},
    {"decrypt", false, "INSTALLER.IPKTMP and the package in the watch folder, the container in the work folder",
     "as the take's: the package is written again under the same name", Decrypt, nullptr},
};

}  // namespace

std::span<const RoadStep> road_AppCrySteps() { return kSteps; }
