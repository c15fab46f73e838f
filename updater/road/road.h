// The road of a drop, as a table a reader can check: each kind of drop the
// scan finds has one road, each road is a list of named steps, and each step
// says what it leaves on storage and what start-up does when a kill or a
// power cut stopped the daemon in it.
//
// Before every step marked `journaled` the journal (core/journal.h) names
// the road, the step, the file in the work folder and the drop's name in the
// watch folder. A step that is not journaled is covered by the journaled one
// before it: its recovery runs it again. Start-up reads the journal and asks
// the step it names where to go on (road_Recover): recovery finishes or
// undoes what the journal names and removes nothing it cannot prove the
// daemon's own.
//
// The roads (road_Table) and their files:
//   ipk     road/ipk.cpp     take, unpack, verify, install
//   appcry  road/appcry.cpp  take, decrypt (the package goes on as an ipk)
//   image   road/image.cpp   take, verify, update (restart, then commit)
//   bundle  road/bundle.cpp  take, unpack (members come one per idle pass)
// The commit of a new image at the next start is the road "commit"
// (install/imageupdate.h). Main thread only.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/result.h"

// What a road works on, made afresh for each drop.
struct RoadContext {
  std::string found;    // the drop's name in the watch folder
  std::string item;     // the file in the work folder the road works on
  std::string member;   // the bundle member the drop is, if any
  std::string next;     // the name the drop goes on under in the watch folder
  std::string package;  // the package name of an ipk (its control data)
  std::string version;  // and its version
  int offset = 0;       // payload offset of a container
  int attempts = 0;     // how often recovery went on from the journaled step
  int resumedAt = -1;   // the journaled step recovery went on from, if any
};

// How a step ended: the road goes on with the next step, or it is over
// (installed, or handed on under another name). A step that ends the road
// because the drop was refused or failed returns the error instead, with
// the reason; the step has logged the system's own line where it decided.
enum class StepEnd { kNext, kOver };
using StepResult = kv::Result<StepEnd>;

// A step's recovery: the index of the step to go on from, or kRoadOver.
inline constexpr int kRoadOver = -1;

struct RoadStep {
  const char* name;
  bool journaled;        // the journal names it before it runs
  const char* leaves;    // what it leaves on storage when it is cut off
  const char* recovery;  // what start-up does then
  StepResult (*run)(RoadContext& ctx);
  // Where start-up goes on when the journal names this step; ctx holds the
  // journal's entry. Null for a step that is not journaled.
  int (*resume)(RoadContext& ctx);
};

struct Road {
  const char* name;     // the journal's road
  int kind;             // the scan's InstallerKind
  const char* takenAs;  // the drop's name in the work folder; null: the name it was found under
  std::span<const RoadStep> steps;
};

// The roads, one per kind the scan reports.
std::span<const Road> road_Table();
const Road* road_ForKind(int kind);
const Road* road_Named(std::string_view name);

// Runs the drop along the road from step `from`: writes the journal before
// each journaled step and ends the road in the journal when the road is over.
void road_Run(const Road& road, RoadContext& ctx, std::size_t from = 0);

// Takes the drop found in the watch folder along the road of its kind: the
// member the journal names goes with it when the drop is that member.
void road_TakeDrop(int kind, const char* found);

// Start-up: finishes or undoes the road the journal names (reading the
// records of earlier versions once). A step started kRoadMaxAttempts times is
// given up with one error line. Leaves the commit's road to
// doInstall_MenderCommit.
inline constexpr int kRoadMaxAttempts = 3;
void road_Recover();

// Nothing else to install: the next member of an unpacked bundle comes into
// the watch folder; a used-up bundle's folder is cleared.
void road_FeedBundleMember();

// Removes what a bundle put into the bundle folder.
void road_ClearBundleFolder();

// The simulation flag of the daemon's options (nothing is installed), set
// once at start-up.
void road_SetSimulate(int simulate);
int road_Simulate();

// The steps the roads share (road/steps.cpp).
namespace roadstep {

// Removes the files an unpacked ipk leaves beside it.
void DeleteControlFiles(const char* folder);
void DeleteFiles(const char* folder, std::initializer_list<const char*> extensions);

// Takes ctx.found from the watch folder into the work folder as ctx.item;
// with signatureBeside, first the signature dropped beside a single
// package, container or image (intake/dropsig.h).
StepResult Take(RoadContext& ctx, bool signatureBeside = true);

// Recovery of the take: the road goes on (index 1) when the file lies in the
// work folder as taken; when the drop still stands in the watch folder (the
// take was cut off before it removed the drop's name, or a power cut undid
// that), the work folder's name for it goes and the drop waits for the scan,
// still the bundle member it was (the journal keeps naming it).
int ResumeTake(RoadContext& ctx);

// True when the entry exists in the work folder.
bool InWork(const std::string& name);

// The road hands the drop on to the watch folder as ctx.next (a decrypted
// package): the journal names it there when it is a bundle member.
void HandOver(RoadContext& ctx);

}  // namespace roadstep
