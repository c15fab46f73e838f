// The table of roads, the runner that walks a drop along its road with the
// journal written before each step that a restart must know about, and the
// start-up recovery that asks the journaled step where to go on.
#include <cstring>

#include "config/identity.h"
#include "core/cmd.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "install/appinstall.h"
#include "install/imageupdate.h"
#include "intake/cleanup.h"
#include "intake/scandir.h"
#include "road/road.h"
#include "road/roads.h"

namespace {

int gSimulate = 0;

const Road kRoads[] = {
    {"ipk", kInstallerIpk, nullptr, road_IpkSteps()},
    {"appcry", kInstallerAppCry, nullptr, road_AppCrySteps()},
    {"image", kInstallerImage, kImageFile, road_ImageSteps()},
    {"bundle", kInstallerBundle, nullptr, road_BundleSteps()},
};

void WriteJournal(const Road& road, const RoadStep& step, const RoadContext& ctx) {
  JournalEntry entry = journal_Current();
  entry.road = road.name;
  entry.step = step.name;
  entry.item = ctx.item;
  entry.found = ctx.found;
  entry.attempts = ctx.attempts;
  if (!ctx.member.empty()) {
    entry.member = ctx.member;
    entry.file = ctx.found;
  }
  if (kv::Status written = journal_Write(std::move(entry)); !written) {
    log_Print(3, "road_Run, journal not written: %s\n", written.error().message().c_str());
  }
}

// The road is over: the journal forgets it, and the member with it when the
// drop was one and does not go on under another name.
void EndRoad(const RoadContext& ctx) {
  if (!ctx.next.empty()) return;  // handed on (roadstep::HandOver)
  if (kv::Status ended = journal_EndRoad(!ctx.member.empty()); !ended) {
    log_Print(3, "road_Run, journal not written: %s\n", ended.error().message().c_str());
  }
}

int StepIndex(const Road& road, const std::string& step) {
  for (std::size_t i = 0; i < road.steps.size(); ++i) {
    if (step == road.steps[i].name) return static_cast<int>(i);
  }
  return kRoadOver;
}

// A record of an earlier version said the services were stopped for a road
// it named in words only: in this boot they are brought back.
void RecoverOldServiceRoad(const JournalEntry& entry) {
  if (!journal_FromEarlierBoot(entry)) {
    doInstall_ControlServices(config_GetPlatformName(), kServiceRestart);
    cmd_System("psplash-write \"QUIT\"");
    log_PrintPriority(kPriorityError, 1,
                      "doInstall_RecoverServiceRoad, %s was interrupted: application services restarted, splash "
                      "screen closed\n",
                      entry.step.empty() ? "a road that stopped the services" : entry.step.c_str());
  }
  (void)journal_EndRoad(false);
}

}  // namespace

void road_GiveUp(const Road& road, RoadContext& ctx) {
  // A road that stopped the services gives them back in this boot (a
  // restart of the machine brought them up already).
  const std::string platform = config_GetPlatformName();
  const bool stopped = std::strcmp(road.name, "image") == 0 ||
                       (std::strcmp(road.name, "ipk") == 0 && !platform.empty() && ctx.item == platform + ".ipk");
  if (stopped && !journal_FromEarlierBoot(journal_Current())) {
    doInstall_ControlServices(platform.c_str(), kServiceRestart);
    cmd_System("psplash-write \"QUIT\"");
  }
  if (!ctx.item.empty()) scandir_DeleteSomefiles(paths_WorkFolder(), {ctx.item.c_str()});
}

void road_SetSimulate(int simulate) { gSimulate = simulate; }
int road_Simulate() { return gSimulate; }

std::span<const Road> road_Table() { return kRoads; }

const Road* road_ForKind(int kind) {
  for (const Road& r : kRoads) {
    if (r.kind == kind) return &r;
  }
  return nullptr;
}

const Road* road_Named(std::string_view name) {
  for (const Road& r : kRoads) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

void road_Run(const Road& road, RoadContext& ctx, std::size_t from) {
  for (std::size_t i = from; i < road.steps.size(); ++i) {
    const RoadStep& step = road.steps[i];
    if (step.journaled) {
      // Recovery's count of starts holds until the road has passed the step
      // it went on from.
      if (static_cast<int>(i) > ctx.resumedAt) ctx.attempts = 0;
      WriteJournal(road, step, ctx);
    }
    const StepResult ran = step.run(ctx);
    if (!ran) {
      // The step logged the system's line where it decided; this one says
      // where the road ended, for diagnosis.
      log_Print(3, "road_Run, %s road of %s ended at its step %s: %s\n", road.name, ctx.found.c_str(), step.name,
                ran.error().message().c_str());
      break;
    }
    if (ran.value() == StepEnd::kOver) break;
  }
  EndRoad(ctx);
}

void road_TakeDrop(int kind, const char* found) {
  const Road* road = road_ForKind(kind);
  if (road == nullptr) return;
  RoadContext ctx;
  ctx.found = found;
  ctx.item = road->takenAs != nullptr ? road->takenAs : found;
  // The bundle member waiting in the watch folder goes along its road as
  // the member the journal names.
  const JournalEntry& journal = journal_Current();
  if (!journal.member.empty() && journal.file == ctx.found) ctx.member = journal.member;
  road_Run(*road, ctx);
}

void road_Recover() {
  std::string legacy;
  const JournalEntry entry = journal_Load(&legacy);
  if (entry.road == "services") {
    RecoverOldServiceRoad(entry);
    return;
  }
  const Road* road = road_Named(entry.road);
  if (road == nullptr) {
    // No road under way (a member waiting in the watch folder stays named),
    // or the commit's, which doInstall_MenderCommit finishes.
    if (!entry.road.empty() && entry.road != "commit") (void)journal_EndRoad(false);
    return;
  }
  const int at = StepIndex(*road, entry.step);
  RoadContext ctx;
  ctx.found = entry.found;
  ctx.item = entry.item;
  ctx.attempts = entry.attempts;
  ctx.resumedAt = at;
  if (!entry.member.empty() && entry.file == entry.found) ctx.member = entry.member;
  const RoadStep* step = at == kRoadOver ? nullptr : &road->steps[static_cast<std::size_t>(at)];
  const int from = step != nullptr && step->resume != nullptr ? step->resume(ctx) : kRoadOver;
  if (from == kRoadOver) {
    log_Print(2, "road_Recover, %s road of %s ended at its step %s\n", entry.road.c_str(), entry.found.c_str(),
              entry.step.c_str());
    EndRoad(ctx);
    return;
  }
  // Every start that goes on with the same entry counts, whichever step it
  // goes on from: a drop that ends the daemon in one of its steps (a crash,
  // a watchdog kill) is given up, not taken again at every start.
  ctx.attempts = entry.attempts + 1;
  if (ctx.attempts >= kRoadMaxAttempts) {
    log_PrintPriority(kPriorityError, 1, "road_Recover, %s road of %s was cut off %d times, given up\n",
                      entry.road.c_str(), entry.found.c_str(), ctx.attempts);
    road_GiveUp(*road, ctx);
    EndRoad(ctx);
    return;
  }
  JournalEntry counted = journal_Current();
  counted.attempts = ctx.attempts;
  (void)journal_Write(std::move(counted));
  log_PrintPriority(kPriorityNotice, 1, "road_Recover, %s of %s was cut off at its step %s, going on\n",
                    entry.road.c_str(), entry.found.c_str(), entry.step.c_str());
  road_Run(*road, ctx, static_cast<std::size_t>(from));
}
