#include "daemon/mainloop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/journal.h"
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
#include "install/savedstate.h"
#include "intake/bundle.h"
#include "intake/cleanup.h"
#include "intake/dropsig.h"
#include "intake/opkg.h"
#include "intake/rollback.h"
#include "intake/scandir.h"
#include "intake/take.h"
#include "intake/unpack.h"
#include "road/road.h"
#include "security/decrypt.h"
#include "security/sign.h"

namespace {

// What one pass works on: the file the scan found. Made afresh for every
// pass, so nothing of one drop's road can leak into the next.
struct PassContext {
  char found[kFoundNameSize] = {};
};

void DeleteFiles(const char* folder, std::initializer_list<const char*> extensions) {
  for (const char* ext : extensions) scandir_Deletefiles(folder, ext);
}

void DeleteControlFiles(const char* folder) {
  scandir_DeleteSomefiles(folder, {"control", "debian-binary", "postinst", "preinst", "postrm", "prerm"});
}

// Installer artefacts that an earlier run may have left, and what a kill
// left of the daemon's private work: staging folders of unpacking and
// temporary files of state files that were being replaced. Containers and
// packages waiting in the watch folder are drops nobody has taken yet (or
// the daemon's own decrypted packages and bundle members on their way): they
// stay and install. What the journal named was finished or undone before.
void RemoveEarlierArtefacts() {
  const std::string etc = paths_Device(devpath::kEtcFolder);
  DeleteFiles(paths_WatchFolder(), {"IPKTMP"});
  // A signature beside its package or container waits with it.
  dropsig_RemoveOrphans(paths_WatchFolder());
  // A package whose installer unit still runs (left at its deadline) stays.
  scandir_DeletefilesExcept(paths_WorkFolder(), "IPK", doInstall_PackageInUse());
  DeleteFiles(paths_WorkFolder(), {"CRY", "GZ", "XZ", "IPKTMP", "SIGN64"});
  // Lock files of /etc belong to the programs that use them (the password
  // tools' .pwd.lock among them): only one nobody holds is stale.
  scandir_DeleteUnheldLocks(etc.c_str(), "LOCK");
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
  const std::string member = journal_Current().file;
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
  road_SetSimulate(options.simulate);

  doInstall_RemoveSavedState();
  IdProt_Init();
  IdProt_StartUpListeningServers();
  config_Init();
  config_LoadIdData();
  bundle_CreateFolder();
  progress_Init();
  progress_SetServerName(argv[0]);
  // Up from here: what follows may ask the service manager for units that
  // are ordered after the daemon (the application's services) or wait on a
  // job that waits for the daemon (an installer unit restarting it), and must
  // not wait on the daemon's own start job. The watchdog is fed meanwhile.
  notify_Ready();
  // The road a kill or a power cut stopped is finished or undone; then the
  // commit of a new image (which may park the daemon), then what earlier
  // runs left.
  road_Recover();
  doInstall_MenderCommit(options.simulate);
  RemoveEarlierArtefacts();

  log_Print(1, "Main,  looking for changes in %s .....\n", paths_WatchFolder());
}

void mainloop_Pass() {
  const char* watch = paths_WatchFolder();
  PassContext pass;
  int kind = scandir_FindInstaller(watch, pass.found, {"CRY", "IPK"});
  if (kind == kInstallerBundle) kind = BundleOrWait(pass);
  if (kind == kInstallerNone) {
    road_FeedBundleMember();
  } else if (scandir_LockHeld(watch, kLockName) == 0 && FileReady(watch, pass.found) == 1) {
    progress_SetStartTime();
    road_TakeDrop(kind, pass.found);
  }
  if (scandir_LockfileExpired(watch, kLockName, kLockExpirySeconds) == 1) ClearStaleLock();
  kv_SleepMicroseconds(kPassSleepMicroseconds);
  IdProt_StartUpListeningServers();
}

void mainloop_Run() {
  for (;;) {
    mainloop_Pass();
    // One ping per finished pass: a pass that never ends stops the pings.
    notify_Watchdog();
  }
}
