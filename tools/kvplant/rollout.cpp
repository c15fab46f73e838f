// kvplant rollout and resume: a release sent in waves over SFTP, each
// controller followed to its end, the state file and the audit trail kept
// at every step.
#include <cjson/cJSON.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/handles.h"
#include "kvplant/output.h"
#include "kvplant/rollout.h"
#include "kvplant/view.h"

namespace kvplant {
namespace {

// The remote watch folder, an absolute path on the controller.
constexpr const char* kWatchFolder = "/opt/kv2/swfw/";
// What a controller does between its status check and its turn to transfer.
constexpr const char* kAwaitingTransfer = "waiting for a transfer";
// Follows run side by side: at most this many threads per wave (each one
// follows a controller at a time; transfers are bounded by --parallel).
constexpr int kMostWorkers = 64;
// Bytes of a transfer are written into the state at most this often (the
// part's size on the controller is what a resume goes by).
constexpr long long kSaveEveryMs = 1000;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

// At most n holders at once.
class Slots {
 public:
  explicit Slots(int n) : free_(n) {}
  void Take() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return free_ > 0; });
    --free_;
  }
  void Give() {
    {
      const std::lock_guard<std::mutex> lock(m_);
      ++free_;
    }
    cv_.notify_one();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int free_;
};

class Rollout {
 public:
  Rollout(RolloutState& s, std::string statePath, Audit& audit, Output& out)
      : s_(s), statePath_(std::move(statePath)), audit_(audit), out_(out), slots_(std::max(1, s.options.parallel)) {}

  int Run(bool resumed);

 private:
  void Save(bool force);  // under m_
  // What controller i does now, for the live views: under m_ / taking it.
  void LiveLocked(std::size_t i, const std::string& activity, int percent, bool save);
  void Live(std::size_t i, const std::string& activity, int percent, bool save = false);
  // Follows the control file: pause, run, stop from kvplant serve's page.
  void Watch(std::stop_token stop);
  void Controlled(Control now);  // under m_
  // Whether controller i may start its transfer now: waits while the
  // rollout is paused; false once it is stopped or interrupted. Admitted,
  // the controller is "connecting" in the saved state.
  bool Admit(std::size_t i);
  void Fail(std::size_t i, const std::string& reason);
  void Process(std::size_t i);
  bool Send(std::size_t i);
  // The controller at i's address to ask, or nothing when its address is not one (failing it).
  std::optional<kvid::Controller> ReachOrFail(std::size_t i);
  void FollowOne(std::size_t i);
  int Report(bool interrupted);
  void Result(std::size_t i);
  cJSON* ControllerJson(std::size_t i, const char* event);

  RolloutState& s_;
  std::string statePath_;
  Audit& audit_;
  Output& out_;
  Slots slots_;
  std::mutex m_;
  long long lastSaveMs_ = 0;
  std::string saveError_;
  int waveFailures_ = 0;
  bool stopping_ = false;
  Control control_ = Control::kRun;
  bool stoppedFromPage_ = false;
  std::condition_variable_any controlled_;
};

void Rollout::LiveLocked(std::size_t i, const std::string& activity, int percent, bool save) {
  ControllerState& c = s_.controllers[i];
  c.activity = activity;
  c.percent = percent;
  Save(save);
  out_.Row(i, ViewOf(c));
}

void Rollout::Live(std::size_t i, const std::string& activity, int percent, bool save) {
  const std::lock_guard<std::mutex> lock(m_);
  LiveLocked(i, activity, percent, save);
}

void Rollout::Controlled(Control now) {
  if (now == control_) return;
  const Control was = control_;
  control_ = now;
  s_.paused = now == Control::kPause;
  Save(true);
  cJSON* a = cJSON_CreateObject();
  cJSON_AddStringToObject(a, "who", "page");
  if (now == Control::kStop) {
    cJSON_AddStringToObject(a, "request", "stop");
    audit_.Write("stop", a);
  } else {
    audit_.Write(now == Control::kPause ? "pause" : was == Control::kPause ? "resume" : "run", a);
  }
  controlled_.notify_all();
}

bool Rollout::Admit(std::size_t i) {
  std::unique_lock<std::mutex> lock(m_);
  if (control_ == Control::kPause) LiveLocked(i, "waiting: paused", 0, true);
  while (control_ == Control::kPause && !g_interrupted.load())
    controlled_.wait_for(lock, std::chrono::milliseconds(200));
  if (control_ == Control::kStop) {
    stoppedFromPage_ = stopping_ = true;
    LiveLocked(i, "waiting: stopped", 0, true);
    return false;
  }
  if (g_interrupted.load()) return false;
  // Admitted under the same lock a pause takes, and saved at once: every
  // state file that says "paused" names each transfer already under way.
  LiveLocked(i, "connecting", 0, true);
  return true;
}

void Rollout::Watch(std::stop_token stop) {
  while (!stop.stop_requested()) {
    const Control now = ReadControl(statePath_);
    {
      const std::lock_guard<std::mutex> lock(m_);
      // A stop is final: a later word in the file does not take it back.
      if (control_ != Control::kStop) Controlled(now);
    }
    timespec ts{0, 200 * 1000000L};
    ::nanosleep(&ts, nullptr);
  }
}

void Rollout::Save(bool force) {
  const long long now = kvid::NowMs();
  if (!force && now - lastSaveMs_ < kSaveEveryMs) return;
  lastSaveMs_ = now;
  if (auto r = SaveState(s_, statePath_); !r && saveError_.empty()) {
    saveError_ = r.error().message();
    std::fprintf(stderr, "kvplant: %s\n", saveError_.c_str());
  }
}

cJSON* Rollout::ControllerJson(std::size_t i, const char* event) {
  const ControllerState& c = s_.controllers[i];
  cJSON* j = cJSON_CreateObject();
  if (event != nullptr) cJSON_AddStringToObject(j, "event", event);
  cJSON_AddStringToObject(j, "controller", c.mac.c_str());
  cJSON_AddStringToObject(j, "address", c.address.c_str());
  return j;
}

void Rollout::Result(std::size_t i) {
  const ControllerState& c = s_.controllers[i];
  const bool ok = c.phase == Phase::kOk;
  cJSON* a = cJSON_CreateObject();
  cJSON_AddStringToObject(a, "controller", c.mac.c_str());
  cJSON_AddStringToObject(a, "address", c.address.c_str());
  cJSON_AddStringToObject(a, "result", ok ? "ok" : "failed");
  cJSON_AddStringToObject(a, "reason", c.reason.c_str());
  cJSON_AddStringToObject(a, "sw_revision", c.appAfter.c_str());
  cJSON_AddStringToObject(a, "image_version", c.imageAfter.c_str());
  audit_.Write("result", a);
  out_.Row(i, ViewOf(c));
  cJSON* e = ControllerJson(i, "done");
  cJSON_AddStringToObject(e, "result", ok ? "ok" : "failed");
  cJSON_AddStringToObject(e, "reason", c.reason.c_str());
  cJSON_AddStringToObject(e, "sw_revision", c.appAfter.c_str());
  cJSON_AddStringToObject(e, "image_version", c.imageAfter.c_str());
  out_.Event(e);
}

void Rollout::Fail(std::size_t i, const std::string& reason) {
  const std::lock_guard<std::mutex> lock(m_);
  s_.controllers[i].phase = Phase::kFailed;
  s_.controllers[i].reason = reason;
  s_.controllers[i].activity.clear();
  s_.controllers[i].endedMs = WallMs();
  ++waveFailures_;
  if (waveFailures_ > s_.options.maxFailures) stopping_ = true;
  Save(true);
  Result(i);
}

// Sends the controller's files; false when it failed or was interrupted.
bool Rollout::Send(std::size_t i) {
  ControllerState& c = s_.controllers[i];
  {
    // Saved when it changes (a resumed controller's last activity), so that
    // the state never shows one still waiting for a slot as under way.
    const std::lock_guard<std::mutex> lock(m_);
    LiveLocked(i, kAwaitingTransfer, 0, c.activity != kAwaitingTransfer);
  }
  slots_.Take();
  struct Give {
    Slots& s;
    ~Give() { s.Give(); }
  } give{slots_};
  // Paused or stopped from the page: no new transfer starts. The controller
  // keeps its place; a resumed rollout sends it from the start.
  if (!Admit(i)) return false;
  auto sftp = Sftp::Connect(c.address, s_.options.ssh);
  if (!sftp) {
    Fail(i, sftp.error().message());
    return false;
  }
  std::uint64_t total = 0, done = 0;
  for (const Upload& u : c.uploads) total += u.signature ? s_.files[u.file].signatureSize : s_.files[u.file].size;
  for (Upload& u : c.uploads) {
    const StateFile& f = s_.files[u.file];
    const std::string local = u.signature ? f.signature : f.path;
    const std::string name = u.signature ? f.signatureName : f.name;
    const std::uint64_t size = u.signature ? f.signatureSize : f.size;
    const std::string sha = u.signature ? f.signatureSha256 : f.sha256;
    long long lastEvent = 0;
    UploadHooks hooks;
    auto event = [&](const char* kind, std::uint64_t bytes) {
      cJSON* e = ControllerJson(i, kind);
      cJSON_AddStringToObject(e, "file", name.c_str());
      cJSON_AddNumberToObject(e, "bytes", static_cast<double>(bytes));
      cJSON_AddNumberToObject(e, "of", static_cast<double>(size));
      out_.Event(e);
    };
    auto audit = [&](const char* kind, std::uint64_t from) {
      cJSON* a = cJSON_CreateObject();
      cJSON_AddStringToObject(a, "controller", c.mac.c_str());
      cJSON_AddStringToObject(a, "address", c.address.c_str());
      cJSON_AddStringToObject(a, "file", name.c_str());
      cJSON_AddNumberToObject(a, "size", static_cast<double>(size));
      cJSON_AddStringToObject(a, "sha256", sha.c_str());
      if (from != 0) cJSON_AddNumberToObject(a, "from", static_cast<double>(from));
      audit_.Write(kind, a);
    };
    hooks.sending = [&](std::uint64_t from) {
      const std::lock_guard<std::mutex> lock(m_);
      u.phase = FilePhase::kSending;
      u.bytes = from;
      Save(true);
      audit("send", from);
      event("sending", from);
      lastEvent = kvid::NowMs();
    };
    hooks.progress = [&](std::uint64_t bytes) {
      const std::lock_guard<std::mutex> lock(m_);
      u.bytes = bytes;
      Save(false);
      LiveLocked(i, "sending " + name, total == 0 ? 100 : static_cast<int>((done + bytes) * 100 / total), false);
      if (kvid::NowMs() - lastEvent >= 1000) {
        event("sending", bytes);
        lastEvent = kvid::NowMs();
      }
      return !g_interrupted.load();
    };
    hooks.renaming = [&] {
      const std::lock_guard<std::mutex> lock(m_);
      u.phase = FilePhase::kRenaming;
      u.bytes = size;
      Save(true);
    };
    hooks.arrived = [&] {
      const std::lock_guard<std::mutex> lock(m_);
      u.phase = FilePhase::kArrived;
      u.bytes = size;
      Save(true);
      audit("arrived", 0);
      event("arrived", size);
    };
    if (auto r = sftp.value()->Upload(local, size, sha, kWatchFolder, name, u.phase, hooks); !r) {
      if (r.error().code() == kUploadStopped) return false;
      Fail(i, name + ": " + r.error().message());
      return false;
    }
    done += size;
  }
  const std::lock_guard<std::mutex> lock(m_);
  c.phase = Phase::kFollowing;
  Save(true);
  return true;
}

std::optional<kvid::Controller> Rollout::ReachOrFail(std::size_t i) {
  auto reached = Reach(s_.controllers[i].address);
  if (!reached) {
    Fail(i, reached.error().message());
    return std::nullopt;
  }
  return std::move(reached).value();
}

void Rollout::FollowOne(std::size_t i) {
  ControllerState& c = s_.controllers[i];
  std::optional<kvid::Controller> reached = ReachOrFail(i);
  if (!reached) return;
  kvid::Controller& k = *reached;
  kvid::FollowOptions o;
  o.giveUpMs = static_cast<int>(s_.options.giveUpMs);
  o.deadlineMs = kvid::NowMs() + s_.options.giveUpMs;
  if (c.baseline) {
    kvid::Status b;
    b.sequence = c.baseline->sequence;
    b.action = c.baseline->action;
    b.actionCode = c.baseline->actionCode;
    b.error = c.baseline->error;
    b.errorNumber = c.baseline->errorNumber;
    b.totalProgress = c.baseline->progress;
    b.elapsed = c.baseline->elapsed;
    o.baseline = b;
    o.baselineAtMs = kvid::NowMs() - (WallMs() - c.baseline->atWallMs);
  }
  Expectation e;
  e.expectApp = c.expectApp;
  e.expectImage = c.expectImage;
  for (const Upload& u : c.uploads)
    if (!u.signature && s_.files[u.file].name == "IMAGE.CRY") e.image = true;
  e.image = e.image || !c.expectImage.empty();
  FollowHooks hooks;
  std::string lastAction;
  int lastPercent = -1;
  hooks.progress = [&](const kvid::Status& s) {
    Live(i, s.action, s.totalProgress);
    if (s.action == lastAction && s.totalProgress == lastPercent) return;
    lastAction = s.action;
    lastPercent = s.totalProgress;
    cJSON* ev = ControllerJson(i, "progress");
    cJSON_AddNumberToObject(ev, "percent", s.totalProgress);
    cJSON_AddStringToObject(ev, "action", s.action.c_str());
    out_.Event(ev);
  };
  hooks.restarting = [&] {
    Live(i, "restarting", 100, true);
    out_.Event(ControllerJson(i, "rebooting"));
  };
  hooks.cancelled = [] { return g_interrupted.load(); };
  const FollowOutcome r = FollowUpdate(k, o, e, hooks);
  if (r.interrupted) return;
  const std::lock_guard<std::mutex> lock(m_);
  c.appAfter = r.swRevision;
  c.imageAfter = r.imageVersion;
  c.activity.clear();
  c.endedMs = WallMs();
  if (r.ok) {
    c.phase = Phase::kOk;
    c.reason.clear();
  } else {
    c.phase = Phase::kFailed;
    c.reason = r.reason;
    ++waveFailures_;
    if (waveFailures_ > s_.options.maxFailures) stopping_ = true;
  }
  Save(true);
  Result(i);
}

// Why the controller answering at c's address is not the one, or not as it
// was, when the inventory was taken ("" when it is).
std::string Unlike(const ControllerState& c, const std::optional<kvid::Identity>& id) {
  if (!id) return "no answer to the identification request before sending";
  auto same = [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; };
  if (!same(id->sent.mac, c.mac)) return "another controller answers at " + c.address + " (MAC " + id->mac + ")";
  if (id->sent.device != c.platform || id->sent.swRevision != c.swRevision || id->sent.imageVersion != c.imageVersion) {
    return "changed since the inventory (now " + id->device + ", " + id->swRevision + ", " + id->imageVersion +
           "): take a new inventory and pre-flight again";
  }
  return "";
}

void Rollout::Process(std::size_t i) {
  ControllerState& c = s_.controllers[i];
  if (c.phase == Phase::kWaiting) {
    // What the status says before anything is sent: the follow tells the
    // update's answers from earlier ones by it.
    {
      const std::lock_guard<std::mutex> lock(m_);
      s_.controllers[i].startedMs = WallMs();
      LiveLocked(i, "asking", 0, false);
    }
    std::optional<kvid::Controller> reached = ReachOrFail(i);
    if (!reached) return;
    kvid::Controller& k = *reached;
    kvid::FollowOptions o;
    // The plan was made for the controller the inventory saw at this
    // address, as it was then: another one there (an address handed on by
    // DHCP) or one whose software changed since is not sent the plan's files.
    if (const std::string changed = Unlike(c, kvid::ReadIdentity(o, k, kvid::NowMs() + 3 * o.timeoutMs));
        !changed.empty()) {
      Fail(i, changed);
      return;
    }
    kvid::Followed followed;
    std::optional<kvid::Status> taken;
    for (int attempt = 0; attempt < 3 && !taken && !g_interrupted.load(); ++attempt) {
      const auto r =
          kvid::Ask(o, k, kvid::kStatusRequest, [&](kvid::Peer& p) { return kvid::StatusJudge(p, followed, taken); });
      if (!r) break;
    }
    if (g_interrupted.load()) return;
    if (!taken) {
      Fail(i, "no answer to the status request before sending");
      return;
    }
    const std::lock_guard<std::mutex> lock(m_);
    Baseline b;
    b.sequence = taken->sequence;
    b.action = taken->action;
    b.actionCode = taken->actionCode;
    b.error = taken->error;
    b.errorNumber = taken->errorNumber;
    b.progress = taken->totalProgress;
    b.elapsed = taken->elapsed;
    b.atWallMs = WallMs();
    c.baseline = b;
    c.phase = Phase::kSending;
    c.activity = kAwaitingTransfer;
    Save(true);
  }
  if (c.phase == Phase::kSending && !Send(i)) return;
  if (g_interrupted.load()) return;
  if (c.phase == Phase::kFollowing) FollowOne(i);
}

int Rollout::Run(bool resumed) {
  int waves = 0;
  for (const ControllerState& c : s_.controllers) waves = std::max(waves, c.wave);
  bool interrupted = false;
  const std::jthread watcher([this](std::stop_token stop) { Watch(stop); });
  for (int w = 1; w <= waves && !interrupted && !stoppedFromPage_; ++w) {
    std::vector<std::size_t> members, open;
    for (std::size_t i = 0; i < s_.controllers.size(); ++i) {
      if (s_.controllers[i].wave != w) continue;
      members.push_back(i);
      const Phase p = s_.controllers[i].phase;
      if (p != Phase::kOk && p != Phase::kFailed && p != Phase::kSkipped) open.push_back(i);
    }
    if (open.empty()) continue;
    cJSON* e = cJSON_CreateObject();
    cJSON_AddStringToObject(e, "event", "wave");
    cJSON_AddNumberToObject(e, "wave", w);
    cJSON_AddNumberToObject(e, "size", static_cast<double>(members.size()));
    out_.Event(e);
    out_.Wave(w, members);
    waveFailures_ = 0;
    stopping_ = false;
    std::size_t next = 0;
    const int workers = std::min<int>(kMostWorkers, static_cast<int>(open.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) {
      threads.emplace_back([&] {
        for (;;) {
          std::size_t i = 0;
          {
            std::unique_lock<std::mutex> lock(m_);
            // Paused from the page: no new controller starts until it runs
            // again (or is stopped, or the rollout is interrupted).
            while (control_ == Control::kPause && !g_interrupted.load())
              controlled_.wait_for(lock, std::chrono::milliseconds(200));
            if (control_ == Control::kStop) stoppedFromPage_ = stopping_ = true;
            // A wave with too many failures starts no further controller;
            // those running are finished.
            if (next >= open.size() || stopping_ || g_interrupted.load()) return;
            i = open[next++];
          }
          Process(i);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    out_.EndWave();
    if (g_interrupted.load()) {
      interrupted = true;
      break;
    }
    if (waveFailures_ > s_.options.maxFailures || stoppedFromPage_) {
      const std::lock_guard<std::mutex> lock(m_);
      s_.stopped = stoppedFromPage_ ? std::string("stopped from the page")
                                    : std::to_string(waveFailures_) + " controller" + (waveFailures_ == 1 ? "" : "s") +
                                          " of wave " + std::to_string(w) + " failed (--max-failures " +
                                          std::to_string(s_.options.maxFailures) + ")";
      Save(true);
      cJSON* a = cJSON_CreateObject();
      cJSON_AddStringToObject(a, "reason", s_.stopped.c_str());
      audit_.Write("stop", a);
      cJSON* ev = cJSON_CreateObject();
      cJSON_AddStringToObject(ev, "event", "stopped");
      cJSON_AddStringToObject(ev, "reason", s_.stopped.c_str());
      out_.Event(ev);
      return Report(false);
    }
  }
  (void)resumed;
  if (interrupted || g_interrupted.load()) {
    const std::lock_guard<std::mutex> lock(m_);
    Save(true);
    cJSON* a = cJSON_CreateObject();
    cJSON_AddStringToObject(a, "reason", "interrupted");
    audit_.Write("stop", a);
    cJSON* ev = cJSON_CreateObject();
    cJSON_AddStringToObject(ev, "event", "stopped");
    cJSON_AddStringToObject(ev, "reason", "interrupted");
    out_.Event(ev);
    return Report(true);
  }
  {
    const std::lock_guard<std::mutex> lock(m_);
    s_.finished = true;
    s_.stopped.clear();
    Save(true);
  }
  return Report(false);
}

int Rollout::Report(bool interrupted) {
  const int status = out_.Report(s_, interrupted);
  cJSON* a = cJSON_CreateObject();
  int ok = 0, failed = 0;
  for (const ControllerState& c : s_.controllers) {
    ok += c.phase == Phase::kOk;
    failed += c.phase == Phase::kFailed;
  }
  cJSON_AddNumberToObject(a, "ok", ok);
  cJSON_AddNumberToObject(a, "failed", failed);
  cJSON_AddBoolToObject(a, "finished", s_.finished);
  if (s_.finished)
    audit_.Write("end", a);
  else
    cJSON_Delete(a);
  if (interrupted)
    std::fprintf(stderr, "kvplant: interrupted: kvplant resume --state %s goes on\n", statePath_.c_str());
  if (!saveError_.empty()) return kExitFailed;
  return status;
}

void CatchSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked wait returns to look at the flag
  (void)::sigaction(SIGINT, &sa, nullptr);
  (void)::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int RunRollout(RolloutState& state, const std::string& statePath, bool resumed) {
  Audit audit;
  if (auto r = audit.Open(state.options.audit, state.id); !r) {
    std::fprintf(stderr, "kvplant: %s\n", r.error().message().c_str());
    return kExitUsage;
  }
  if (resumed) {
    cJSON* a = cJSON_CreateObject();
    cJSON_AddStringToObject(a, "state", statePath.c_str());
    audit.Write("resume", a);
  } else {
    cJSON* a = cJSON_CreateObject();
    cJSON* files = cJSON_AddArrayToObject(a, "files");
    for (const StateFile& f : state.files) {
      cJSON* o = cJSON_CreateObject();
      cJSON_AddStringToObject(o, "name", f.name.c_str());
      cJSON_AddNumberToObject(o, "size", static_cast<double>(f.size));
      cJSON_AddStringToObject(o, "sha256", f.sha256.c_str());
      if (!f.signature.empty()) {
        cJSON_AddStringToObject(o, "signature", f.signatureName.c_str());
        cJSON_AddStringToObject(o, "signature_sha256", f.signatureSha256.c_str());
      }
      cJSON_AddItemToArray(files, o);
    }
    auto fingerprint = KeyFingerprint(state.options.publicKey);
    cJSON_AddStringToObject(a, "public_key", fingerprint ? fingerprint.value().c_str() : "");
    cJSON* waves = cJSON_AddArrayToObject(a, "waves");
    for (const int w : state.options.waves)
      cJSON_AddItemToArray(waves, w == 0 ? cJSON_CreateString("rest") : cJSON_CreateNumber(w));
    cJSON_AddNumberToObject(a, "parallel", state.options.parallel);
    cJSON_AddNumberToObject(a, "max_failures", state.options.maxFailures);
    int taking = 0;
    for (const ControllerState& c : state.controllers) taking += c.wave != 0;
    cJSON_AddNumberToObject(a, "controllers", taking);
    audit.Write("start", a);
  }
  // A control word left by an earlier run does not hold this one: starting
  // or resuming a rollout is the technician's decision to run it.
  (void)::unlink(ControlPath(statePath).c_str());
  CatchSignals();
  Output out(state.options.json, state);
  Rollout r(state, statePath, audit, out);
  if (state.finished) return out.Report(state, false);
  return r.Run(resumed);
}

}  // namespace kvplant
