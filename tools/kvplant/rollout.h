// The rollout's own model: its state file (where each controller and each
// of its files stands, written atomically after every change), its audit
// trail, and the following of one controller's update to its end.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"
#include "kvid/kvid.h"
#include "kvplant/plant.h"
#include "kvplant/sftp.h"

namespace kvplant {

// "SHA256:<base64 of the SHA-256 of the key's DER SubjectPublicKeyInfo>"
// (base64 without padding, as ssh prints fingerprints) of a PEM public key.
kv::Result<std::string> KeyFingerprint(const std::string& pemPath);

// UTC now as "2026-12-09T03:10:00.123Z".
std::string UtcNow();
long long WallMs();

// --- state (state.cpp) ---------------------------------------------------

// One file sent to one controller: a release file or its signature.
struct Upload {
  std::size_t file = 0;    // index into RolloutState::files
  bool signature = false;  // the file's NAME.sign64
  FilePhase phase = FilePhase::kPending;
  std::uint64_t bytes = 0;  // in NAME.part as last recorded
};

// Where a controller stands.
enum class Phase { kWaiting, kSending, kFollowing, kOk, kFailed, kSkipped };
const char* PhaseName(Phase p);

// The status read just before the first file was sent: what the follow
// compares the controller's answers with.
struct Baseline {
  int sequence = 0, actionCode = 0, errorNumber = 0, progress = 0, elapsed = 0;
  std::string action, error;
  long long atWallMs = 0;
};

struct ControllerState {
  std::string mac, address, deviceName, platform, swRevision, imageVersion;
  int wave = 0;  // 1-based; 0: not in a wave (skipped)
  Phase phase = Phase::kWaiting;
  std::string reason;  // skipped or failed: why
  std::string what;    // what it takes, in words
  std::string expectApp, expectImage;
  std::optional<Baseline> baseline;
  std::vector<Upload> uploads;
  std::string appAfter, imageAfter;  // revisions once done
  // What it is doing now in words ("sending app.CRY", the daemon's action,
  // "restarting") and how far, for the live views; when it started and
  // ended (wall clock ms, 0 when not yet), for the page's time estimate.
  std::string activity;
  int percent = 0;
  long long startedMs = 0, endedMs = 0;
};

struct StateFile {
  std::string path, name, sha256;  // name: in the watch folder
  std::uint64_t size = 0;
  std::string signature, signatureName, signatureSha256;  // "" when none
  std::uint64_t signatureSize = 0;
};

// The waves of a rollout that names none: one controller, ten, the rest.
std::vector<int> DefaultWaves();

// The options a rollout runs with; resume takes them from the state.
struct RolloutOptions {
  std::string publicKey, audit = "kvplant-audit.jsonl";
  std::vector<int> waves = DefaultWaves();  // 0: the rest
  int parallel = 8, maxFailures = 0;
  long long giveUpMs = 10 * 60 * 1000;
  bool json = false;
  SshOptions ssh;
};

struct RolloutState {
  std::string id, started;
  bool finished = false;
  std::string stopped;  // why it stopped ("" while it goes on)
  bool paused = false;  // held by its control file: starts no new controller
  RolloutOptions options;
  std::vector<StateFile> files;
  std::vector<ControllerState> controllers;
};

// Writes the state as JSON: a temporary file beside path, flushed, renamed
// over path, the folder flushed. create: path must not exist yet (the first
// write links the temporary file to path, which refuses an existing one).
kv::Status SaveState(const RolloutState& state, const std::string& path, bool create = false);
kv::Result<RolloutState> LoadState(const std::string& path);

// The control file beside a state file (STATE.control): one word, "run",
// "pause" or "stop", written by kvplant serve and read by the rollout before
// it starts each controller.
std::string ControlPath(const std::string& statePath);
enum class Control { kRun, kPause, kStop };
// What the control file says; kRun when it is missing or unreadable.
Control ReadControl(const std::string& statePath);
const char* ControlName(Control c);
// Replaces the control file atomically (temporary file, flush, rename).
kv::Status WriteControl(const std::string& statePath, Control c);

// --- audit trail (audit.cpp) --------------------------------------------

// JSON lines appended to a file opened with O_APPEND: each line one write(),
// then fsync. Every line names the time, the user (and whether it came from
// $SUDO_USER), the host and the rollout.
class Audit {
 public:
  kv::Status Open(const std::string& path, const std::string& rollout);
  // Appends {"time","user","host","rollout","event":event, ...fields}; fields
  // is a cJSON object whose members are moved into the line.
  void Write(const char* event, struct cJSON* fields);

 private:
  kv::Fd fd_;
  std::string rollout_, user_, host_;
  bool sudo_ = false;
};

// --- following one controller's update (rollout.cpp) --------------------

// What the follow of one controller is told and tells.
struct Expectation {
  std::string expectApp, expectImage;
  bool image = false;  // an OS image is among the files sent
};
struct FollowOutcome {
  bool ok = false, interrupted = false;
  std::string reason;
  std::string swRevision, imageVersion;  // as the controller reports them at the end
};
struct FollowHooks {
  std::function<void(const kvid::Status&)> progress;
  std::function<void()> restarting;
  std::function<bool()> cancelled;
};

// Follows a controller's update from the baseline to its end within giveUpMs:
// an image through its restart to the expected image_version and "Image
// committed"; an application to the expected sw_revision (or, when that is
// not known, to an answer after the baseline that is no longer busy and has
// no error, twice in a row). A failure is the daemon's ending with an error.
FollowOutcome FollowUpdate(kvid::Controller& c, const kvid::FollowOptions& base, const Expectation& e,
                           const FollowHooks& hooks);

// A controller reached at one numeric address.
kv::Result<kvid::Controller> Reach(const std::string& address);

}  // namespace kvplant

namespace kvplant {

// Runs (or, resumed, goes on with) the rollout the state describes, writing
// the state to statePath after every change; the exit status.
int RunRollout(RolloutState& state, const std::string& statePath, bool resumed);

}  // namespace kvplant
