// Asking one controller and following its update to the end, through the
// restart of an image update. Shared by kvid status --follow and kvplant's
// rollout: the caller hears of progress and outcome through a FollowSink
// and prints them its own way.

#include <algorithm>
#include <string>
#include <utility>

#include "idprot/idiface.h"
#include "kvid/kvid.h"

namespace kvid {
namespace {

std::string Malformed(const std::string& from, const std::string& reason) {
  return "malformed answer from " + from + ": " + reason;
}

FollowEnd Ended(int status, std::string error) {
  FollowEnd e;
  e.status = status;
  e.error = std::move(error);
  return e;
}

// Whether the caller wants the follow to stop, or its time is up; fills end.
bool Stop(const FollowOptions& o, FollowEnd& end) {
  if (o.cancelled && o.cancelled()) {
    end = Ended(kExitNoAnswer, "interrupted");
    end.interrupted = true;
    return true;
  }
  if (o.deadlineMs != 0 && NowMs() >= o.deadlineMs) {
    end = Ended(kExitNoAnswer, "the update did not end within the give-up time");
    end.timedOut = true;
    return true;
  }
  return false;
}

void Say(const FollowSink& sink, const std::string& line) {
  if (sink.say) sink.say(line);
}

// How long a restarted controller is asked for the outcome of its commit,
// which its daemon reports within seconds of starting.
constexpr long long kCommitWaitMs = 60 * 1000;

// Asks the restarted controller's status until it reports the commit of the
// new image (committed, or not with the reason); nothing when it does not
// within kCommitWaitMs.
std::optional<Status> AwaitCommit(const FollowOptions& o, Controller& c, Followed& followed) {
  const long long until = NowMs() + std::min<long long>(kCommitWaitMs, o.giveUpMs);
  for (;;) {
    std::optional<Status> taken;
    const auto r = Ask(o, c, kStatusRequest, [&](Peer& p) { return StatusJudge(p, followed, taken, true); });
    if (r && taken && (taken->action == kIdImageCommittedAction || taken->action == kIdImageNotCommittedAction)) {
      return taken;
    }
    if (NowMs() >= until) return std::nullopt;
    FollowEnd ignored;
    if (Stop(o, ignored)) return std::nullopt;
    SleepMs(o.intervalMs);
  }
}

// Waits for a controller that said its new image is installed to restart
// (its status goes silent, then a restarted daemon answers), then reads its
// identity and reports the image it runs. silent: the controller is already
// silent; back: it already answered as a restarted daemon.
FollowEnd ThroughReboot(const FollowOptions& o, Controller& c, const FollowSink& sink, Followed& followed,
                        const std::string& imageBefore, bool silent, bool back) {
  long long lastAnswer = NowMs();
  const long long started = lastAnswer;
  std::optional<Status> taken;
  if (sink.restarting) sink.restarting();
  FollowEnd end;
  bool quiet = silent;  // the last poll went unanswered
  while (!back) {
    SleepMs(o.intervalMs);
    if (Stop(o, end)) {
      end.silent = end.timedOut && quiet;
      return end;
    }
    taken.reset();
    followed.takenVerified = false;
    const auto r = Ask(o, c, kStatusRequest, [&](Peer& p) { return StatusJudge(p, followed, taken, true); });
    if (!r) return Ended(kExitUsage, r.error().message());
    quiet = !taken;
    if (!taken) {
      if (!silent) Note(c.Shown(c.chosen) + " went silent");
      silent = true;
      if (NowMs() - lastAnswer >= o.giveUpMs)
        return Ended(kExitNoAnswer,
                     c.Shown(c.chosen) + " did not answer again within " + std::to_string(o.giveUpMs / 1000) + " s");
      continue;
    }
    lastAnswer = NowMs();
    const Status& s = *taken;
    const bool lower = s.sequence < followed.last->sequence;
    // Before the restart the daemon still says it installed the image, its
    // numbers going forward; after it, it counts anew and is no longer
    // restarting. Without the poll's nonce, only silence first makes a
    // lower number a restart.
    back = silent ? (lower || !UpdateSucceeded(s)) : (lower && followed.takenVerified);
    if (!back && !lower) followed.last = s;
  }
  const std::optional<Identity> id = ReadIdentity(o, c, NowMs() + o.giveUpMs);
  if (!id) return Ended(kExitNoAnswer, c.Shown(c.chosen) + " answered again, but not with its identity");
  end.restarted = id;
  end.last = followed.last;
  const long long seconds = (NowMs() - started) / 1000;
  if (!imageBefore.empty() && id->imageVersion == imageBefore) {
    Say(sink, "restarted after " + std::to_string(seconds) + " s with the image it had before, " + id->imageVersion +
                  ": the new image did not take");
    end.status = kExitUpdateFailed;
    end.failure = "restarted with the image it had before, " + id->imageVersion;
    return end;
  }
  const std::string before = imageBefore.empty() ? "unknown" : imageBefore;
  const std::string restarted =
      "restarted after " + std::to_string(seconds) + " s with image " + id->imageVersion + " (before: " + before + ")";
  // The restarted daemon commits the new image as it starts and says so in
  // its status; one that never says so is of a version that does not tell.
  const std::optional<Status> commit = AwaitCommit(o, c, followed);
  if (!commit) {
    if (Stop(o, end)) return end;
    Say(sink, restarted + "; its commit is not reported");
    return end;
  }
  end.last = commit;
  if (commit->action == kIdImageCommittedAction) {
    Say(sink, restarted + ", committed");
    end.committed = true;
    return end;
  }
  Say(sink, restarted + ", not committed: " + commit->error);
  end.status = kExitUpdateFailed;
  end.failure = "image " + id->imageVersion + " not committed: " + commit->error;
  return end;
}

}  // namespace

std::string Controller::Shown(std::size_t i) const {
  return targets[i].text == name ? name : name + " (" + targets[i].text + ")";
}

std::string Controller::ShownAll() const {
  if (answered) return Shown(chosen);
  std::string all;
  for (const Target& t : targets) all += (all.empty() ? "" : ", ") + t.text;
  return targets.size() == 1 && all == name ? name : name + " (" + all + ")";
}

kv::Result<Asked> Ask(const FollowOptions& o, Controller& c, std::string_view fixedPart,
                      const std::function<Judge(Peer&)>& judgeFor) {
  Asked out;
  const std::size_t from = c.answered ? c.chosen : 0, to = c.answered ? c.chosen + 1 : c.targets.size();
  for (std::size_t i = from; i < to; ++i) {
    const auto r = Exchange(c.targets[i], o.interfaceIndex, fixedPart, c.peers[i], o.timeoutMs, judgeFor(c.peers[i]));
    if (!r) return r.error();
    if (r.value().answer) {
      if (!c.answered && c.targets.size() > 1) Note(c.name + " answered at " + c.targets[i].text);
      c.chosen = i;
      c.answered = true;
      out.taken = true;
      out.size = r.value().answer->size();
      return out;
    }
    if (!r.value().malformed.empty()) {
      out.malformed = r.value().malformed;
      out.malformedFrom = c.Shown(i);
    }
    Note("no answer taken from " + c.targets[i].text);
  }
  return out;
}

Judge StatusJudge(Peer& peer, Followed& followed, std::optional<Status>& taken, bool anyNumber) {
  return [&peer, &followed, &taken, anyNumber](std::string_view answer, const Nonce& asked) -> Judged {
    auto s = DecodeStatus(answer);
    if (!s) return {Verdict::kMalformed, s.error().message()};
    const Freshness fresh = JudgeNonce(s.value().nonce, asked, peer);
    if (fresh == Freshness::kStale) return {Verdict::kPassOver, "not the nonce asked"};
    if (!anyNumber && followed.last && s.value().sequence <= followed.last->sequence &&
        !(fresh == Freshness::kVerified && s.value().sequence < followed.last->sequence))
      return {Verdict::kPassOver, "msgSeqNumber " + std::to_string(s.value().sequence) + " not forward"};
    if (fresh == Freshness::kVerified) peer.extended = true;
    followed.takenVerified = fresh == Freshness::kVerified;
    taken = std::move(s).value();
    return {Verdict::kTake, {}};
  };
}

Judge IdentityJudge(Peer& peer, std::optional<Identity>& taken) {
  return [&peer, &taken](std::string_view answer, const Nonce& asked) -> Judged {
    auto id = DecodeIdentity(answer);
    if (!id) return {Verdict::kMalformed, id.error().message()};
    const Freshness fresh = JudgeNonce(id.value().nonce, asked, peer);
    if (fresh == Freshness::kStale) return {Verdict::kPassOver, "not the nonce asked"};
    if (fresh == Freshness::kVerified) peer.extended = true;
    taken = std::move(id).value();
    return {Verdict::kTake, {}};
  };
}

std::optional<Identity> ReadIdentity(const FollowOptions& o, Controller& c, long long untilMs) {
  std::optional<Identity> taken;
  for (;;) {
    const auto r = Ask(o, c, kIdentityRequest, [&taken](Peer& p) { return IdentityJudge(p, taken); });
    if (r && r.value().taken) return taken;
    if (!r || NowMs() >= untilMs) return std::nullopt;
    SleepMs(o.intervalMs);
  }
}

bool BeganAfter(const Status& baseline, long long baselineAtMs, const Status& s, long long nowMs) {
  if (s.action != baseline.action || s.actionCode != baseline.actionCode || s.errorNumber != baseline.errorNumber ||
      s.error != baseline.error || s.totalProgress != baseline.totalProgress)
    return true;
  // A take sets the start the elapsed seconds count from; two seconds of
  // margin for the rounding of both clocks.
  const long long expected = baseline.elapsed + (nowMs - baselineAtMs) / 1000;
  return s.elapsed + 2 < expected;
}

FollowEnd Follow(const FollowOptions& o, Controller& c, const FollowSink& sink) {
  Followed followed;
  std::optional<Status> taken;
  const auto judge = [&followed, &taken](Peer& p) { return StatusJudge(p, followed, taken); };
  std::string malformed, imageBefore;
  bool askedImage = false, began = !o.baseline;
  long long lastAnswer = NowMs();
  auto finished = [&](const Status& s, bool silent, bool back) {
    if (UpdateSucceeded(s)) {
      Say(sink, "update finished: " + s.action);
      if (o.throughReboot) return ThroughReboot(o, c, sink, followed, imageBefore, silent, back);
      FollowEnd end;
      end.last = s;
      return end;
    }
    Say(sink, "update failed: " + s.error + " (" + std::to_string(s.errorNumber) + "), " + s.action);
    FollowEnd end;
    end.status = kExitUpdateFailed;
    end.failure = s.error + " (" + std::to_string(s.errorNumber) + "), " + s.action;
    end.last = s;
    return end;
  };
  // A controller that said, with the poll's own nonce, that its image is
  // installed and it restarts may be gone before a second answer: its
  // silence, or its daemon answering again after the restart, confirms it.
  auto restarting = [&followed] {
    return followed.last && followed.lastVerified && UpdateEnded(*followed.last) && UpdateSucceeded(*followed.last);
  };
  // Every poll asks from a fresh socket with a fresh nonce; an update counts
  // as ended only when two answers in a row say it ended the same way.
  for (;;) {
    taken.reset();
    followed.takenVerified = false;
    const auto r = Ask(o, c, kStatusRequest, judge);
    if (!r) return Ended(kExitUsage, r.error().message());
    if (!taken && restarting()) return finished(*followed.last, true, false);
    if (taken && restarting() && taken->sequence < followed.last->sequence)
      return finished(*followed.last, false, true);
    if (!taken) {
      if (!r.value().malformed.empty()) malformed = Malformed(r.value().malformedFrom, r.value().malformed);
      if (NowMs() - lastAnswer >= o.giveUpMs) {
        if (!malformed.empty()) return Ended(kExitMalformed, malformed);
        return Ended(kExitNoAnswer,
                     "no answer from " + c.ShownAll() + " for " + std::to_string(o.giveUpMs / 1000) + " s");
      }
    } else {
      lastAnswer = NowMs();
      malformed.clear();
      const Status s = *taken;
      if (!began) began = BeganAfter(*o.baseline, o.baselineAtMs, s, lastAnswer);
      if (sink.progress) sink.progress(s);
      if (o.throughReboot && !askedImage) {
        // The image before the update, to tell the one after the restart.
        askedImage = true;
        if (const auto id = ReadIdentity(o, c, 0)) imageBefore = id->imageVersion;
      }
      // A restarted daemon reporting its image's commit: the restart came
      // and went between two polls, unseen.
      if (o.throughReboot && began && followed.takenVerified &&
          (s.action == kIdImageCommittedAction || s.action == kIdImageNotCommittedAction)) {
        return ThroughReboot(o, c, sink, followed, imageBefore, true, true);
      }
      const bool ended = began && followed.last && SameEnding(*followed.last, s);
      followed.last = s;
      followed.lastVerified = followed.takenVerified && began;
      if (ended) return finished(s, false, false);
    }
    FollowEnd end;
    if (Stop(o, end)) return end;
    SleepMs(o.intervalMs);
  }
}

}  // namespace kvid
