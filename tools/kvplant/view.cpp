// The shared per-controller view and the rollout's report as data.
#include "kvplant/view.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <string>

#include "kvid/kvid.h"

namespace kvplant {
namespace {

// Failures where the controller could not be reached at all are shown apart
// from those where it answered and the update failed.
bool Unreachable(const std::string& reason) {
  return reason.starts_with("no answer") || reason.find("did not answer") != std::string::npos ||
         reason.find("cannot connect") != std::string::npos || reason.find("timed out") != std::string::npos;
}

}  // namespace

ControllerView ViewOf(const ControllerState& c) {
  ControllerView v;
  const int percent = std::max(0, std::min(100, c.percent));
  switch (c.phase) {
    case Phase::kWaiting: v = {"waiting", "waiting", 0}; break;
    case Phase::kSending:
      // Its turn has not come (no free transfer, or the rollout is paused).
      if (c.activity.starts_with("waiting")) {
        v = {"waiting", kvid::Shown(c.activity, false), 0};
        break;
      }
      v = {"sending", c.activity.empty() ? "sending" : kvid::Shown(c.activity, false), percent};
      break;
    case Phase::kFollowing:
      if (c.activity == "restarting")
        v = {"rebooting", "rebooting", 100};
      else
        v = {"updating", "updating" + (c.activity.empty() ? "" : ": " + kvid::Shown(c.activity, false)), percent};
      break;
    case Phase::kOk: v = {"uptodate", "up to date", 100}; break;
    case Phase::kFailed:
      v = {Unreachable(c.reason) ? "unreachable" : "failed",
           (Unreachable(c.reason) ? "unreachable: " : "failed: ") + kvid::Shown(c.reason, false), 100};
      break;
    case Phase::kSkipped:
      if (c.reason == "already runs it")
        v = {"uptodate", "up to date", 100};
      else
        v = {"skipped", "skipped: " + kvid::Shown(c.reason, false), 0};
      break;
  }
  return v;
}

ControllerView ViewOf(const Controller& c, bool behind) {
  if (c.platform.empty()) return {"unknown", "platform unknown", 0};
  if (c.updating) return {"updating", "updating" + (c.action.empty() ? "" : ": " + kvid::Shown(c.action, false)), 0};
  if (behind) return {"behind", "behind", 0};
  return {"uptodate", "up to date", 100};
}

cJSON* ReportJson(const RolloutState& s, bool interrupted) {
  int waves = 0;
  for (const ControllerState& c : s.controllers) waves = std::max(waves, c.wave);
  int ok = 0, failed = 0, skipped = 0, open = 0;
  cJSON* report = cJSON_CreateObject();
  cJSON_AddStringToObject(report, "event", "report");
  cJSON_AddStringToObject(report, "rollout", s.id.c_str());
  cJSON* waveList = cJSON_AddArrayToObject(report, "waves");
  for (int w = 1; w <= waves; ++w) {
    int wOk = 0, wFailed = 0, wSize = 0;
    for (const ControllerState& c : s.controllers) {
      if (c.wave != w) continue;
      ++wSize;
      wOk += c.phase == Phase::kOk;
      wFailed += c.phase == Phase::kFailed;
    }
    cJSON* o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "wave", w);
    cJSON_AddNumberToObject(o, "size", wSize);
    cJSON_AddNumberToObject(o, "ok", wOk);
    cJSON_AddNumberToObject(o, "failed", wFailed);
    cJSON_AddNumberToObject(o, "not_done", wSize - wOk - wFailed);
    cJSON_AddItemToArray(waveList, o);
  }
  cJSON* failures = cJSON_AddArrayToObject(report, "failures");
  cJSON* skips = cJSON_AddArrayToObject(report, "skipped_controllers");
  for (const ControllerState& c : s.controllers) {
    if (c.phase == Phase::kOk)
      ++ok;
    else if (c.phase == Phase::kFailed)
      ++failed;
    else if (c.phase == Phase::kSkipped)
      ++skipped;
    else
      ++open;
    if (c.phase != Phase::kFailed && c.phase != Phase::kSkipped) continue;
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "controller", c.mac.c_str());
    cJSON_AddStringToObject(o, "address", c.address.c_str());
    cJSON_AddStringToObject(o, "reason", c.reason.c_str());
    cJSON_AddItemToArray(c.phase == Phase::kFailed ? failures : skips, o);
  }
  cJSON_AddNumberToObject(report, "ok", ok);
  cJSON_AddNumberToObject(report, "failed", failed);
  cJSON_AddNumberToObject(report, "skipped", skipped);
  cJSON_AddNumberToObject(report, "not_done", open);
  cJSON_AddBoolToObject(report, "finished", s.finished);
  cJSON_AddStringToObject(report, "stopped", interrupted ? "interrupted" : s.stopped.c_str());
  return report;
}

std::string ReportCsv(const RolloutState& s) {
  std::string out = "mac,address,device_name,platform,wave,state,reason,sw_revision,image_version\r\n";
  for (const ControllerState& c : s.controllers) {
    const std::string cells[] = {c.mac,
                                 c.address,
                                 c.deviceName,
                                 c.platform,
                                 std::to_string(c.wave),
                                 PhaseName(c.phase),
                                 c.reason,
                                 c.appAfter.empty() ? c.swRevision : c.appAfter,
                                 c.imageAfter.empty() ? c.imageVersion : c.imageAfter};
    std::string row;
    for (const std::string& cell : cells) {
      if (!row.empty()) row += ',';
      row += CsvCell(cell);
    }
    out += row + "\r\n";
  }
  return out;
}

}  // namespace kvplant
