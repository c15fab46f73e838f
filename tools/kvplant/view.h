// One controller as the live views show it: its state in words, a colour
// class and a percentage. The rollout's terminal table and kvplant serve's
// page both take it from here, so that one model feeds both.
#pragma once

#include <string>

#include "kvplant/plant.h"
#include "kvplant/rollout.h"

struct cJSON;

namespace kvplant {

struct ControllerView {
  // One of: uptodate, behind, waiting, sending, updating, rebooting, failed,
  // unreachable, unknown, skipped (the page's colour classes).
  std::string kind;
  std::string words;  // the state in words, as shown ("updating: Installing 40%")
  int percent = 0;    // 0..100 while sending or updating, else 0 or 100
};

// A controller of a rollout as its state says.
ControllerView ViewOf(const ControllerState& c);

// A controller of an inventory outside a rollout: platform unknown, an update
// under way, behind (an application or image revision older than the newest
// one of its platform in the plant) or up to date.
ControllerView ViewOf(const Controller& c, bool behind);

// The final report of a rollout as its JSON event ("event":"report", the
// counts per wave and outcome, every failed and skipped controller) and as
// CSV (one row per controller of the rollout, cells guarded like the
// inventory's).
cJSON* ReportJson(const RolloutState& s, bool interrupted);
std::string ReportCsv(const RolloutState& s);

}  // namespace kvplant
