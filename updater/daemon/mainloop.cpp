#include "daemon/mainloop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "core/statefile.h"
#include "daemon/options.h"
#include "idprot/idserver.h"
#include "idprot/progress.h"
#include "install/appinstall.h"
#include "install/imageupdate.h"
#include "install/roadrecord.h"
#include "install/savedstate.h"
#include "intake/bundle.h"
#include "intake/cleanup.h"
#include "intake/inflight.h"
#include "intake/opkg.h"
#include "intake/rollback.h"
#include "intake/scandir.h"
#include "intake/take.h"
#include "intake/unpack.h"
#include "security/decrypt.h"
#include "security/sign.h"

namespace {

// What one pass works on: the file the scan found, its path in the watch
// folder, and the payload offset that the integrity check hands to the
// decryption. Made afresh for every pass, so nothing of one drop's road can
// leak into the next.
struct PassContext {
  char found[kFoundNameSize] = {};
  std::string path;
  int cryOffset = 0;
};

// What unpacking an ipk leaves beside it.
void DeleteControlFiles(const char* folder) {
  scandir_DeleteSomefiles(folder, {"control", "debian-binary", "postinst", "preinst", "postrm", "prerm"});
}

void DeleteFiles(const char* folder, std::initializer_list<const char*> extensions) {
  for (const char* ext : extensions) scandir_Deletefiles(folder, ext);
}

// Installer artefacts that an earlier run may have left, and what a kill
// left of the daemon's private work: staging folders of unpacking and
// temporary files of state files that were being replaced.
void RemoveEarlierArtefacts() {
  const std::string etc = paths_Device(devpath::kEtcFolder);
  DeleteFiles(paths_WatchFolder(), {"CRY", "IPK", "IPKTMP", "SIGN64"});
  DeleteFiles(paths_WorkFolder(), {"IPK", "CRY", "GZ", "XZ", "IPKTMP", "SIGN64"});
  DeleteFiles(etc.c_str(), {"LOCK"});
  DeleteControlFiles(paths_WorkFolder());
  scandir_DeleteSomefiles(paths_WatchFolder(), {kLockName});
  for (const char* folder : {paths_WorkFolder(), paths_BundleFolder()}) {
    (void)unpack_RemoveLeftovers(folder);
    (void)take_RemoveLeftovers(folder);
  }
  for (const char* folder : {paths_WatchFolder(), paths_WorkFolder(), paths_BundleFolder()}) {
    (void)statefile_RemoveLeftovers(folder);
  }
}

// After a file was handled: the file itself (taken into the work folder)
// and the daemon's own artefacts of the watch folder. Other containers and
// packages waiting in the watch folder are drops of their own and stay.
void DeleteHandled(const char* found) {
  scandir_DeleteSomefiles(paths_WorkFolder(), {found});
  DeleteFiles(paths_WatchFolder(), {"LOCK", "IPKTMP"});
}

void LogError(const char* text) { log_PrintPriority(kPriorityError, 1, "%s", text); }

// Kind 1: integrity check, then decryption into an ipk in the watch folder,
// which a later pass takes as kind 2. The container is read only after it
// was taken into the work folder. Returns the decrypted package's name in
// the watch folder, or an empty text when the road ended here.
std::string HandleAppCry(PassContext& pass) {
  const char* found = pass.found;
  const char* watch = paths_WatchFolder();
  const char* work = paths_WorkFolder();
  if (scandir_TakeFile(watch, found, work, found) == 0) return {};
  const std::string path = std::string(work) + found;
  log_Print(1, "Main, do integrity check on cryfile %s\n", path.c_str());
  if (Decrypt_CheckInstallerFile(&pass.cryOffset, path.c_str()) != 1) {
    DeleteHandled(found);
    LogError("Main, integrity check on cryfile failed, cleaning up\n");
    return {};
  }
  log_Print(1, "Main, integrity check on cryfile %s successful\n", path.c_str());
  scandir_Deletefiles(work, "IPK");
  const int result = DeCrypt(path.c_str(), watch, pass.cryOffset);
  if (result == -1) {
    log_PrintPriority(kPriorityError, 1, "Main, decryption failed:%d, cleaning up\n", result);
    scandir_DeleteSomefiles(work, {found});
    scandir_Deletefiles(work, "IPK");
    scandir_Deletefiles(work, "IPKTMP");
    scandir_DeleteSomefiles(watch, {kLockName});
    return {};
  }
  scandir_DeleteSomefiles(work, {found});
  scandir_Deletefiles(watch, "IPKTMP");
  log_Print(1, "Main, decrypter successfully executed\n");
  // The decrypted package takes the container's base name.
  const char* dot = std::strrchr(found, '.');
  return std::string(found, dot != nullptr ? static_cast<std::size_t>(dot - found) : std::strlen(found)) + ".ipk";
}

// Accepts the package, by now <package>.ipk in the work folder: its
// signature is checked against the one that came with it under the name it
// arrived with, else against the one named after its "Package" field; the
// daemon's own package must not be older than the running one (unless the
// device allows downgrades). Only an accepted package has its signature
// renamed after it: an unsigned drop that bears an honest bundle member's
// file name must not carry that member's signature away. A refused package
// is removed: it was given to root when it was taken, and must not stay in
// root's folder, on root's account, until the next start. Returns 1 when
// accepted.
int AcceptIpk(const char* found, const std::string& package, const char* version) {
  const std::string bundle = paths_BundleFolder();
  const std::string arrived = sign_SignatureName(found);
  const std::string named = package + ".sign64";
  const bool withArrived = !arrived.empty() && ::access((bundle + arrived).c_str(), F_OK) == 0;
  const std::string packageFile = package + ".ipk";
  if (sign_VerifyWith(paths_WorkFolder() + packageFile, bundle + (withArrived ? arrived : named)) != 1) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {packageFile.c_str()});
    return 0;
  }
  if (package == "kvupdaterd") {
    const std::string running = opkg_InstalledVersion(package.c_str());
    if (rollback_Refused(version, running.c_str()) == 1) {
      scandir_DeleteSomefiles(paths_WorkFolder(), {packageFile.c_str()});
      log_PrintPriority(kPriorityError, 1,
                        "Main, kvupdaterd ipk %s, version %s is older than the running version %s, not installed\n",
                        found, version, running.c_str());
      return 0;
    }
  }
  if (withArrived && arrived != named) {
    cmd_Run(("mv \"" + bundle + arrived + "\" \"" + bundle + named + "\"").c_str());
    ::sync();
  }
  return 1;
}

// Kind 2: take the package into the work folder, unpack its control data,
// rename it after its "Package" field, verify (then rename its signature) and install.
void HandleIpk(const PassContext& pass) {
  const char* found = pass.found;
  const char* work = paths_WorkFolder();
  const char* watch = paths_WatchFolder();
  const DaemonOptions& options = options_Get();

  log_Print(1, "Main, ipk installer found, analysing content....\n");
  opkg_ClearControlInfo();
  if (scandir_TakeFile(watch, found, work, found) == 0) return;
  ::sync();
  if (opkg_Unpack(work, found) != 0) LogError("Main, opkg_Unpack error\n");
  (void)opkg_extractControlInfo(work);

  const OpkgControlInfo& info = opkg_GetControlInfo();
  const std::string package = info.package;
  const std::string packageFile = package + ".ipk";
  if (opkg_IsPlainPackageName(info.package) == 0) {
    // The name becomes a file name and part of command lines: a value that
    // could point elsewhere or add arguments refuses the whole package.
    log_PrintPriority(kPriorityError, 1, "Main, package name \"%s\" of %s is not a plain file name, package refused\n",
                      info.package, found);
    DeleteFiles(work, {"GZ", "XZ"});
    DeleteControlFiles(work);
    scandir_DeleteSomefiles(work, {found});
    return;
  }

  cmd_Run(("mv \"" + std::string(work) + found + "\" \"" + work + packageFile + "\"").c_str());
  ::sync();
  DeleteFiles(work, {"GZ", "XZ"});
  DeleteControlFiles(work);

  // The update-log text is cut at 511 characters.
  char updateText[512];
  if (std::snprintf(updateText, sizeof updateText, "%s, version: %s", found, info.version) < 0) {
    updateText[0] = '\0';
  }
  if (package == "kvupdaterd") {
    // The package was taken out of the watch folder: other packages waiting
    // there are drops of their own and stay.
    log_Print(1, "Main, unencrypted kvupdaterd ipk, %s  found, start signature check\n", package.c_str());
    if (AcceptIpk(found, package, info.version) == 1) {
      scandir_CreateLockfile(watch, kLockName, pass.path.c_str());
      log_Print(1, "Signature check OK, starting installation\n");
      UpdateLog(kUpdateLogKvUpdater, updateText);
      doInstall_silentInstall(package.c_str(), options.simulate);
    }
    return;
  }
  if (AcceptIpk(found, package, info.version) == 1) {
    log_Print(1, "Main, unencrypted Quorvan ipk, %s found, start signature check\n", package.c_str());
    scandir_CreateLockfile(watch, kLockName, pass.path.c_str());
    UpdateLog(kUpdateLogIpk, updateText);
    doInstall_execStartAppInstall(package.c_str(), config_GetPlatformName(), options.simulate);
  }
}

// Kind 3: the OS image, taken into the work folder as IMAGE.CRY; its
// signature is checked there and the image updater is handed that file, so
// the bytes checked are the bytes installed.
void HandleImage(const char* found) {
  const DaemonOptions& options = options_Get();
  if (scandir_TakeFile(paths_WatchFolder(), found, paths_WorkFolder(), kImageFile) == 0) return;
  if (sign_VerifyPackage(kImageFile, kSignModeWorkFolder) != 1) {
    LogError("Main, image signature verification failed, aborting installation\n");
    scandir_DeleteSomefiles(paths_WorkFolder(), {kImageFile});
    return;
  }
  // A bundle's image is recorded under its member name, now that it verified.
  if (const char* member = inflight_TakenMember(); member[0] != '\0') UpdateLog(kUpdateLogImage, member);
  log_Print(1, "Main, mender image found with signature ok, updating OS...\n");
  (void)doInstall_RunMenderUpdate(config_GetPlatformName(), options.simulate);
  // Back here only when the update failed or was simulated.
  DeleteHandled(kImageFile);
  LogError("\nMain, mender image update failed, cleaning up\ndelay timer is released\n");
}

// Kind 5: a bundle is unpacked into the bundle folder; its members come into
// the watch folder one per idle pass. While it is unpacked it is in flight:
// a kill there leaves a part of it, which the next start ends.
void HandleBundle(const char* found) {
  inflight_BeginUnpack(found);
  if (bundle_UnPack(paths_WatchFolder(), found, paths_WorkFolder()) != 1) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {found});
  }
  inflight_EndUnpack();
}

// A bundle used up or ended: its folder is cleared.
void ClearBundleFolder() {
  const char* bundle = paths_BundleFolder();
  DeleteFiles(bundle, {"CRY", "TXT", "JSON", "SIGN64"});
  scandir_DeleteSomefiles(bundle, {"controlfile"});
}

// Nothing to install: the next member of an unpacked bundle, if any.
void FeedBundleMember() {
  if (scandir_CheckAndPrepInstaller(paths_BundleFolder(), paths_WatchFolder()) == kBundleCleanup) {
    ClearBundleFolder();
  }
}

// The bundle whose wait was logged; it is logged once, not in every pass.
std::string gWaitingBundle;

// A bundle found while another one is being worked through waits in the
// watch folder, untouched, until that one is used up. Meanwhile the pass goes
// on with the bundle being worked through: the member of it that stands in
// the watch folder (the scan may list the waiting bundle first), else the
// next member (kind 0). Returns the kind the pass goes on with.
int BundleOrWait(PassContext& pass) {
  if (bundle_Pending() == 0) {
    gWaitingBundle.clear();
    return kInstallerBundle;
  }
  if (gWaitingBundle != pass.found) {
    gWaitingBundle = pass.found;
    log_Print(1, "Main, bundle %s waits until the bundle being installed is finished\n", pass.found);
  }
  const char* watch = paths_WatchFolder();
  const std::string member = inflight_MemberFile();
  struct stat st {};
  if (!member.empty() && member.size() < kFoundNameSize && scandir_RefusedNameCharacter(member.c_str()) == '\0' &&
      ::lstat((watch + member).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
    const int kind = scandir_GetFileType(watch, member.c_str());
    if (kind != kInstallerNone && kind != kInstallerBundle) {
      std::memcpy(pass.found, member.c_str(), member.size() + 1);
      return kind;
    }
  }
  pass.found[0] = '\0';
  return kInstallerNone;
}

// A lock older than the expiry: every installer artefact goes, the lock too.
void ClearStaleLock() {
  log_PrintPriority(kPriorityNotice, 1, "Main, expired lock file found cleaning up\n");
  const char* watch = paths_WatchFolder();
  const char* work = paths_WorkFolder();
  const char* bundle = paths_BundleFolder();
  DeleteFiles(watch, {"CRY", "SIGN64", "IPK"});
  DeleteFiles(work, {"IPK", "GZ", "XZ", "IPKTMP"});
  scandir_Deletefiles(watch, "LOCK");
  DeleteControlFiles(work);
  scandir_Deletefiles(bundle, "SIGN64");
  scandir_DeleteSomefiles(bundle, {"controlfile", "allinfo.txt", "allinfo.json"});
}

}  // namespace

void mainloop_StartUp(int argc, char** argv) {
  DaemonOptions& options = options_Get();
  options = DaemonOptions{};
  options_Parse(argc, argv);

  log_SetVerbose(options.verboseLevel);
  log_SetStdout(options.logToStdout);
  log_SetIdent("kvupdaterd");

  log_Print(1, "%s, 718233.004, Ver:3.8 - started by User %d\n", argv[0], static_cast<int>(getuid()));
  if (options.simulate != 0) log_Print(1, "Main, simulation mode is selected, nothing will be installed");

  doInstall_RemoveSavedState();
  IdProt_Init();
  IdProt_StartUpListeningServers();
  config_Init();
  config_LoadIdData();
  bundle_CreateFolder();
  // Services that a killed road left stopped run again before anything else
  // (the commit may park the daemon).
  doInstall_RecoverServiceRoad(config_GetPlatformName());
  // A bundle whose unpack or member a kill cut off is ended.
  if (inflight_Recover() == 1) ClearBundleFolder();
  doInstall_MenderCommit(options.simulate);
  RemoveEarlierArtefacts();

  progress_Init();
  progress_SetServerName(argv[0]);

  log_Print(1, "Main,  looking for changes in %s .....\n", paths_WatchFolder());
}

void mainloop_Pass() {
  const char* watch = paths_WatchFolder();
  PassContext pass;
  int kind = scandir_FindInstaller(watch, pass.found, {"CRY", "IPK"});
  if (kind == kInstallerBundle) kind = BundleOrWait(pass);
  if (kind == kInstallerNone) {
    FeedBundleMember();
  } else {
    pass.path = std::string(watch) + pass.found;
    if (scandir_LockHeld(watch, kLockName) == 0 && FileReady(watch, pass.found) == 1) {
      progress_SetStartTime();
      inflight_Taken(pass.found);
      // The name the road goes on under in a later pass; empty when it ends
      // in this one.
      std::string next;
      switch (kind) {
        case kInstallerAppCry: next = HandleAppCry(pass); break;
        case kInstallerIpk: HandleIpk(pass); break;
        case kInstallerImage: HandleImage(pass.found); break;
        case kInstallerBundle: HandleBundle(pass.found); break;
        default: break;
      }
      inflight_PassEnded(next.empty() ? nullptr : next.c_str());
    }
  }
  if (scandir_LockfileExpired(watch, kLockName, kLockExpirySeconds) == 1) ClearStaleLock();
  kv_SleepMicroseconds(kPassSleepMicroseconds);
  IdProt_StartUpListeningServers();
}

void mainloop_Run() {
  notify_Ready();
  for (;;) {
    mainloop_Pass();
    // One ping per finished pass: a pass that never ends stops the pings.
    notify_Watchdog();
  }
}
