// The road of a bundle: taken into the work folder and unpacked into the
// bundle folder. Its members then come into the watch folder one per idle
// pass (scandir_CheckAndPrepInstaller), each named by the journal until its
// own road ends.
#include <sys/stat.h>

#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "intake/bundle.h"
#include "intake/cleanup.h"
#include "road/roads.h"

namespace {

// A bundle carries its members' signatures inside.
StepResult Take(RoadContext& ctx) { return roadstep::Take(ctx, false); }

StepResult Unpack(RoadContext& ctx) {
  if (bundle_UnPackTaken(paths_WorkFolder(), ctx.item.c_str()) != 1) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {ctx.item.c_str()});
    return kv::Error(0, "not unpacked");
  }
  return StepEnd::kOver;
}

// Cut off while the bundle was taken or unpacked. The manifest is the last
// thing an unpack puts into the bundle folder: with it there the bundle is
// unpacked whole, and only the bundle file is left to remove. Without it,
// what an unpack left is cleared and the bundle is unpacked again.
int ResumeTake(RoadContext& ctx) {
  if (bundle_Pending() == 1) {
    scandir_DeleteSomefiles(paths_WorkFolder(), {ctx.item.c_str()});
    return kRoadOver;
  }
  const int from = roadstep::ResumeTake(ctx);
  if (from != kRoadOver) road_ClearBundleFolder();
  return from;
}

constexpr RoadStep kSteps[] = {
    {"take", true, "the bundle in the work folder (or still in the watch folder)",
     "with the manifest unpacked: the bundle file goes; else the bundle folder is cleared and the bundle unpacked "
     "again",
     Take, ResumeTake},
    {"unpack", false, "members in the bundle folder, the manifest last", "as the take's", Unpack, nullptr},
};

}  // namespace

std::span<const RoadStep> road_BundleSteps() { return kSteps; }

void road_ClearBundleFolder() {
  const char* bundle = paths_BundleFolder();
  roadstep::DeleteFiles(bundle, {"CRY", "TXT", "JSON", "SIGN64"});
  scandir_DeleteSomefiles(bundle, {"controlfile"});
  // Members that are packages go too: nothing of a used-up bundle stays.
  scandir_Deletefiles(bundle, "IPK");
}

void road_FeedBundleMember() {
  if (scandir_CheckAndPrepInstaller(paths_BundleFolder(), paths_WatchFolder()) == kBundleCleanup) {
    road_ClearBundleFolder();
  }
}
