// The steps that the roads share: the take out of the watch folder, its
// recovery, and the clean-ups after an unpacked package.
#include <sys/stat.h>
#include <unistd.h>

#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/safefile.h"
#include "intake/cleanup.h"
#include "intake/dropsig.h"
#include "intake/scandir.h"
#include "road/road.h"

namespace roadstep {

void DeleteControlFiles(const char* folder) {
  scandir_DeleteSomefiles(folder, {"control", "debian-binary", "postinst", "preinst", "postrm", "prerm"});
}

void DeleteFiles(const char* folder, std::initializer_list<const char*> extensions) {
  for (const char* ext : extensions) scandir_Deletefiles(folder, ext);
}

bool InWork(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::lstat((paths_WorkFolder() + name).c_str(), &st) == 0;
}

StepResult Take(RoadContext& ctx, bool signatureBeside) {
  // A signature dropped beside a single package, container or image goes
  // first: cut off after it, the drop waits in the watch folder with its
  // signature already where its check looks. A bundle's member brings its
  // own inside the bundle.
  if (signatureBeside && ctx.member.empty()) (void)dropsig_TakeBeside(paths_WatchFolder(), ctx.found);
  if (scandir_TakeFile(paths_WatchFolder(), ctx.found.c_str(), paths_WorkFolder(), ctx.item.c_str()) != 1) {
    return kv::Error(0, "not taken");
  }
  return StepEnd::kNext;
}

int ResumeTake(RoadContext& ctx) {
  const std::string taken = paths_WorkFolder() + ctx.item;
  const std::string drop = paths_WatchFolder() + ctx.found;
  struct stat t {};
  struct stat d {};
  const bool inWork = !ctx.item.empty() && ::lstat(taken.c_str(), &t) == 0;
  const bool inWatch = !ctx.found.empty() && ::lstat(drop.c_str(), &d) == 0;
  if (inWork && !(inWatch && d.st_dev == t.st_dev && d.st_ino == t.st_ino)) return 1;
  if (inWork && ::unlink(taken.c_str()) == 0) {
    // Both names were the drop's: the take did not finish.
    (void)safefile_FlushFolder(paths_WorkFolder());
  }
  // The drop waits in the watch folder for the scan, as if it had never been
  // taken; a bundle member stays the member it was.
  if (inWatch) {
    ctx.next = ctx.found;
    HandOver(ctx);
  }
  return kRoadOver;
}

void HandOver(RoadContext& ctx) {
  JournalEntry entry = journal_Current();
  entry.road.clear();
  entry.step.clear();
  entry.item.clear();
  entry.found.clear();
  entry.attempts = 0;
  if (!ctx.member.empty()) {
    entry.member = ctx.member;
    entry.file = ctx.next;
  }
  if (kv::Status written = journal_Write(std::move(entry)); !written) {
    log_Print(3, "road_HandOver, journal not written: %s\n", written.error().message().c_str());
  }
}

}  // namespace roadstep
