// The road of a plain ipk package: taken into the work folder, its control
// data unpacked, renamed after its "Package" field, its signature verified,
// then installed by the installer unit.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/log.h"
#include "core/paths.h"
#include "install/appinstall.h"
#include "intake/cleanup.h"
#include "intake/opkg.h"
#include "intake/rollback.h"
#include "road/roads.h"
#include "security/sign.h"

namespace {

constexpr const char* kOwnPackage = "kvupdaterd";

StepResult Take(RoadContext& ctx) {
  log_Print(1, "Main, ipk installer found, analysing content....\n");
  opkg_ClearControlInfo();
  if (StepResult taken = roadstep::Take(ctx); !taken) return taken;
  ::sync();
  return StepEnd::kNext;
}

// Reads the control data of the package in the work folder. The name it
// will go on under becomes the road's item; the rename itself is the next
// step's, after the journal names both.
StepResult Unpack(RoadContext& ctx) {
  const char* work = paths_WorkFolder();
  opkg_ClearControlInfo();
  if (opkg_Unpack(work, ctx.item.c_str()) != 0) log_PrintPriority(kPriorityError, 1, "Main, opkg_Unpack error\n");
  (void)opkg_extractControlInfo(work);
  const OpkgControlInfo& info = opkg_GetControlInfo();
  if (opkg_IsPlainPackageName(info.package) == 0) {
    // The name becomes a file name and part of command lines: a value that
    // could point elsewhere or add arguments refuses the whole package.
    log_PrintPriority(kPriorityError, 1, "Main, package name \"%s\" of %s is not a plain file name, package refused\n",
                      info.package, ctx.found.c_str());
    roadstep::DeleteFiles(work, {"GZ", "XZ"});
    roadstep::DeleteControlFiles(work);
    scandir_DeleteSomefiles(work, {ctx.item.c_str()});
    return kv::Error(0, "package name is not a plain file name");
  }
  ctx.package = info.package;
  ctx.version = info.version;
  ctx.item = ctx.package + ".ipk";
  return StepEnd::kNext;
}

// Accepts the package, by now <package>.ipk in the work folder: its
// signature is checked against the one that came with it under the name it
// arrived with, else against the one named after its "Package" field; the
// daemon's own package must not be older than the running one (unless the
// device allows downgrades). Only an accepted package has its signature
// renamed after it: an unsigned drop that bears an honest bundle member's
// file name must not carry that member's signature away. A refused package
// is removed: it was given to root when it was taken, and must not stay in
// root's folder, on root's account, until the next start.
kv::Status Accept(const RoadContext& ctx) {
  const std::string bundle = paths_BundleFolder();
  const std::string arrived = sign_SignatureName(ctx.found);
  const std::string named = ctx.package + ".sign64";
  const bool withArrived = !arrived.empty() && ::access((bundle + arrived).c_str(), F_OK) == 0;
  if (sign_VerifyWith(paths_WorkFolder() + ctx.item, bundle + (withArrived ? arrived : named)) != 1) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {ctx.item.c_str()});
    return kv::Error(0, "signature refused");
  }
  if (ctx.package == kOwnPackage) {
    const std::string running = opkg_InstalledVersion(ctx.package.c_str());
    if (rollback_Refused(ctx.version.c_str(), running.c_str()) == 1) {
      scandir_DeleteSomefiles(paths_WorkFolder(), {ctx.item.c_str()});
      log_PrintPriority(kPriorityError, 1,
                        "Main, kvupdaterd ipk %s, version %s is older than the running version %s, not installed\n",
                        ctx.found.c_str(), ctx.version.c_str(), running.c_str());
      return kv::Error(0, "older than the running version");
    }
  }
  if (withArrived && arrived != named) {
    cmd_Run(("mv \"" + bundle + arrived + "\" \"" + bundle + named + "\"").c_str());
    ::sync();
  }
  return kv::Ok();
}

// Renames the package after its "Package" field, verifies it, writes the
// install lock and the update log's line.
StepResult Verify(RoadContext& ctx) {
  const std::string work = paths_WorkFolder();
  if (ctx.found != ctx.item && roadstep::InWork(ctx.found)) {
    cmd_Run(("mv \"" + work + ctx.found + "\" \"" + work + ctx.item + "\"").c_str());
    ::sync();
  }
  roadstep::DeleteFiles(work.c_str(), {"GZ", "XZ"});
  roadstep::DeleteControlFiles(work.c_str());

  const std::string lockPath = paths_WatchFolder() + ctx.found;
  if (ctx.package == kOwnPackage) {
    log_Print(1, "Main, unencrypted kvupdaterd ipk, %s  found, start signature check\n", ctx.package.c_str());
    if (kv::Status accepted = Accept(ctx); !accepted) return accepted.error();
    scandir_CreateLockfile(paths_WatchFolder(), kLockName, lockPath.c_str());
    log_Print(1, "Signature check OK, starting installation\n");
    return StepEnd::kNext;
  }
  if (kv::Status accepted = Accept(ctx); !accepted) return accepted.error();
  log_Print(1, "Main, unencrypted Quorvan ipk, %s found, start signature check\n", ctx.package.c_str());
  scandir_CreateLockfile(paths_WatchFolder(), kLockName, lockPath.c_str());
  return StepEnd::kNext;
}

// The installer unit installs the package and removes it; the step ends when
// "systemctl start" returned (or its deadline passed).
StepResult Install(RoadContext& ctx) {
  if (ctx.package.empty()) ctx.package = ctx.item.substr(0, ctx.item.size() - 4);  // resumed: <package>.ipk
  // The update log's line comes once the journal names the install: an
  // install that recovery starts again was recorded before.
  if (ctx.resumedAt != 3) {
    // The text is cut at 511 characters.
    char updateText[512];
    if (std::snprintf(updateText, sizeof updateText, "%s, version: %s", ctx.found.c_str(), ctx.version.c_str()) < 0) {
      updateText[0] = '\0';
    }
    UpdateLog(ctx.package == kOwnPackage ? kUpdateLogKvUpdater : kUpdateLogIpk, updateText);
  }
  if (ctx.package == kOwnPackage) {
    doInstall_silentInstall(ctx.package.c_str(), road_Simulate());
  } else {
    doInstall_execStartAppInstall(ctx.package.c_str(), config_GetPlatformName(), road_Simulate());
  }
  return StepEnd::kOver;
}

// Cut off while the package was unpacked, renamed or verified: all of it is
// done again from the file in the work folder, under whichever name it has.
int ResumeVerify(RoadContext& ctx) {
  if (roadstep::InWork(ctx.item)) return 1;
  if (roadstep::InWork(ctx.found)) {
    ctx.item = ctx.found;
    return 1;
  }
  return kRoadOver;
}

// Cut off while the installer unit ran, or before it was started: the unit
// is started again while the package is still there (the unit removes it
// once installed; a start while its job still runs joins that job).
int ResumeInstall(RoadContext& ctx) {
  if (ctx.item.size() <= 4 || !roadstep::InWork(ctx.item)) return kRoadOver;
  return 3;
}

constexpr RoadStep kSteps[] = {
    {"take", true, "the drop under its name in the work folder (or still in the watch folder)",
     "goes on when the file lies in the work folder as taken; else the drop waits in the watch folder", Take,
     roadstep::ResumeTake},
    {"unpack", false, "the control files beside the package in the work folder", "as the take's", Unpack, nullptr},
    {"verify", true, "the package under its name or its package name; the install lock",
     "unpacked and verified again from whichever name it has", Verify, ResumeVerify},
    {"install", true, "the package, which the installer unit removes once installed",
     "the installer unit is started again while the package is there", Install, ResumeInstall},
};

}  // namespace

std::span<const RoadStep> road_IpkSteps() { return kSteps; }
