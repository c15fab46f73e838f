// Following one controller's update to its end: the shared follow of the
// identification client for an image (through the restart, to the commit),
// and for an application the revision it reports once installed.
#include <net/if.h>

#include <string>

#include "idprot/idiface.h"
#include "kvplant/rollout.h"

namespace kvplant {

kv::Result<kvid::Controller> Reach(const std::string& address) {
  std::string text = address;
  unsigned index = 0;
  if (const std::size_t at = address.find('%'); at != std::string::npos) {
    index = ::if_nametoindex(address.substr(at + 1).c_str());
    if (index == 0) return kv::Error(0, "unknown interface in '" + address + "'");
    text = address.substr(0, at);
  }
  auto target = kvid::MakeTarget(text, index, kIdPort);
  if (!target) return target.error();
  kvid::Controller c;
  c.name = address;
  target.value().text = address;
  c.targets.push_back(std::move(target).value());
  c.peers.resize(1);
  return c;
}

FollowOutcome FollowUpdate(kvid::Controller& c, const kvid::FollowOptions& base, const Expectation& e,
                           const FollowHooks& hooks) {
  FollowOutcome out;
  kvid::FollowOptions o = base;
  o.cancelled = hooks.cancelled;
  if (e.image) {
    // A controller already back with its new image (a follow resumed, a
    // late wait) reports the commit: nothing is left to follow.
    kvid::Followed first;
    std::optional<kvid::Status> now;
    (void)kvid::Ask(o, c, kvid::kStatusRequest, [&](kvid::Peer& p) { return kvid::StatusJudge(p, first, now, true); });
    const bool commit = now && (now->action == kIdImageCommittedAction || now->action == kIdImageNotCommittedAction);
    if (commit && (!o.baseline || kvid::BeganAfter(*o.baseline, o.baselineAtMs, *now, kvid::NowMs()))) {
      const auto id = kvid::ReadIdentity(o, c, kvid::NowMs() + o.timeoutMs);
      if (id) {
        out.swRevision = id->swRevision;
        out.imageVersion = id->imageVersion;
      }
      if (now->action == kIdImageNotCommittedAction) {
        out.reason = "image " + out.imageVersion + " not committed: " + now->error;
        return out;
      }
      if (!e.expectImage.empty() && out.imageVersion != e.expectImage) {
        out.reason = "runs image " + out.imageVersion + " after its restart, not " + e.expectImage;
        return out;
      }
      if (e.expectApp.empty() || ReportsApp(out.swRevision, e.expectApp)) {
        out.ok = true;
        return out;
      }
      o.baseline.reset();
      return FollowUpdate(c, o, Expectation{e.expectApp, "", false}, hooks);
    }
    o.throughReboot = true;
    kvid::FollowSink sink;
    bool heard = false;  // the controller answered for this update
    sink.progress = [&](const kvid::Status& s) {
      heard = true;
      if (hooks.progress) hooks.progress(s);
    };
    sink.restarting = hooks.restarting;
    const kvid::FollowEnd end = kvid::Follow(o, c, sink);
    if (end.interrupted) {
      out.interrupted = true;
      return out;
    }
    if (end.restarted) {
      out.swRevision = end.restarted->swRevision;
      out.imageVersion = end.restarted->imageVersion;
    }
    if (end.timedOut) {
      // Gone into its restart and silent since: the give-up time ran out
      // before the time a silent controller is waited for did.
      out.reason = end.silent ? "went silent during its image update and did not answer again within the give-up time"
                              : "did not end within the give-up time";
      return out;
    }
    if (end.status == kvid::kExitNoAnswer && heard && !end.restarted) {
      // Silent in the middle of an image update: it went into its restart
      // and never came back.
      out.reason = "went silent during its image update and did not answer again within " +
                   std::to_string(o.giveUpMs / 1000) + " s";
      return out;
    }
    if (end.status != kvid::kExitOk) {
      out.reason = !end.failure.empty() ? end.failure : end.error;
      return out;
    }
    if (!e.expectImage.empty() && out.imageVersion != e.expectImage) {
      out.reason = "runs image " + out.imageVersion + " after its restart, not " + e.expectImage;
      return out;
    }
    if (!end.committed) {
      out.reason = "restarted with image " + out.imageVersion + ", but its commit is not reported";
      return out;
    }
    if (e.expectApp.empty() || ReportsApp(out.swRevision, e.expectApp)) {
      out.ok = true;
      return out;
    }
    // The application may still be on its way: followed below.
    o.baseline.reset();
  }

  // An application install leaves the status as it was when it succeeds;
  // the revision the controller reports says it is in.
  kvid::Followed followed;
  std::optional<kvid::Status> lastFailure;
  bool began = !o.baseline;
  int calm = 0;
  long long lastAnswer = kvid::NowMs();
  for (;;) {
    if (o.cancelled && o.cancelled()) {
      out.interrupted = true;
      return out;
    }
    std::optional<kvid::Status> taken;
    const auto r = kvid::Ask(o, c, kvid::kStatusRequest,
                             [&](kvid::Peer& p) { return kvid::StatusJudge(p, followed, taken, true); });
    if (!r) {
      out.reason = r.error().message();
      return out;
    }
    if (taken) {
      lastAnswer = kvid::NowMs();
      followed.last = taken;
      const kvid::Status& s = *taken;
      if (hooks.progress) hooks.progress(s);
      if (!began) began = kvid::BeganAfter(*o.baseline, o.baselineAtMs, s, lastAnswer);
      const bool failed = began && kvid::UpdateEnded(s) && !kvid::UpdateSucceeded(s) && s.errorNumber != 0;
      if (failed && lastFailure && kvid::SameEnding(*lastFailure, s)) {
        out.reason = s.error + " (" + std::to_string(s.errorNumber) + "), " + s.action;
        if (const auto id = kvid::ReadIdentity(o, c, 0)) {
          out.swRevision = id->swRevision;
          out.imageVersion = id->imageVersion;
        }
        return out;
      }
      lastFailure = failed ? taken : std::nullopt;
      calm = began && !failed && s.actionCode != 1 ? calm + 1 : 0;
    }
    const auto id = kvid::ReadIdentity(o, c, 0);
    if (id) {
      lastAnswer = kvid::NowMs();
      out.swRevision = id->swRevision;
      out.imageVersion = id->imageVersion;
      if ((!e.expectApp.empty() && ReportsApp(id->swRevision, e.expectApp)) || (e.expectApp.empty() && calm >= 2)) {
        out.ok = true;
        return out;
      }
    }
    if (kvid::NowMs() - lastAnswer >= o.giveUpMs) {
      out.reason = "did not answer within " + std::to_string(o.giveUpMs / 1000) + " s";
      return out;
    }
    if (o.deadlineMs != 0 && kvid::NowMs() >= o.deadlineMs) {
      out.reason = e.expectApp.empty()
                       ? "did not end within the give-up time"
                       : "does not report " + e.expectApp + " within the give-up time (reports " + out.swRevision + ")";
      return out;
    }
    kvid::SleepMs(o.intervalMs);
  }
}

}  // namespace kvplant
