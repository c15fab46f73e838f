// The road of the OS image: taken into the work folder as IMAGE.CRY, its
// signature checked there, then the image updater writes it and the machine
// restarts; the commit follows at the next start (install/imageupdate.h).
#include <sys/stat.h>

#include <string>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/statefile.h"
#include "install/appinstall.h"
#include "install/imageupdate.h"
#include "intake/cleanup.h"
#include "road/roads.h"
#include "security/sign.h"

namespace {

StepResult Take(RoadContext& ctx) { return roadstep::Take(ctx); }

// The image updater is handed the file whose signature was checked, in a
// folder only the daemon can write.
StepResult Verify(RoadContext& /*ctx*/) {
  if (sign_VerifyPackage(kImageFile, kSignModeWorkFolder) != 1) {
    log_PrintPriority(kPriorityError, 1, "Main, image signature verification failed, aborting installation\n");
    scandir_DeleteSomefiles(paths_WorkFolder(), {kImageFile});
    return kv::Error(0, "signature refused");
  }
  log_Print(1, "Main, mender image found with signature ok, updating OS...\n");
  return StepEnd::kNext;
}

StepResult Update(RoadContext& ctx) {
  // A bundle's image is recorded under its member name, now that it verified
  // and the journal names the update: an update that recovery starts again
  // was recorded before.
  if (!ctx.member.empty() && ctx.resumedAt != 2) UpdateLog(kUpdateLogImage, ctx.member.c_str());
  (void)doInstall_RunMenderUpdate(config_GetPlatformName(), road_Simulate());
  // Back here only when the update failed or was simulated.
  scandir_DeleteSomefiles(paths_WorkFolder(), {kImageFile});
  roadstep::DeleteFiles(paths_WatchFolder(), {"LOCK", "IPKTMP"});
  log_PrintPriority(kPriorityError, 1, "\nMain, mender image update failed, cleaning up\ndelay timer is released\n");
  return kv::Error(0, "image update failed");
}

bool Marked() { return statefile_IsOwn(std::string(paths_WatchFolder()) + kImageOkMarker); }

// Cut off while the updater ran. With the OK marker the new image is the
// boot candidate: in this boot the restart is requested again, after a
// restart the commit takes over. Without it the update is started again
// (the services it stopped are stopped again, and restarted if it fails).
int ResumeUpdate(RoadContext& ctx) {
  const JournalEntry& entry = journal_Current();
  if (Marked()) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {kImageFile});
    if (!journal_FromEarlierBoot(entry)) {
      // The entry stays until the restart has happened: a start cut off
      // before it (in this boot still) asks for it again, where without the
      // entry the marker alone would call for a commit that nothing waits
      // for yet.
      log_PrintPriority(kPriorityNotice, 1, "road_Recover, image of %s written, the restart is requested again\n",
                        ctx.found.c_str());
      doInstall_CleanUpperdir();
      doInstall_Reboot();
    }
    return kRoadOver;
  }
  if (!roadstep::InWork(kImageFile)) {
    road_GiveUp(*road_Named("image"), ctx);
    return kRoadOver;
  }
  return 2;
}

constexpr RoadStep kSteps[] = {
    {"take", true, "IMAGE.CRY in the work folder (or the drop still in the watch folder)",
     "goes on (verified again) when the image lies in the work folder", Take, roadstep::ResumeTake},
    {"verify", false, "IMAGE.CRY in the work folder", "as the take's", Verify, nullptr},
    {"update", true, "the services stopped, the splash screen up; IMAGEUPDATEOK.TXT once the image is written",
     "with the marker: the restart again (same boot) or the commit (next boot); else the update again", Update,
     ResumeUpdate},
};

}  // namespace

std::span<const RoadStep> road_ImageSteps() { return kSteps; }
