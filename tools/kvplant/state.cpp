// The rollout's state file: JSON, replaced atomically after every change, so
// that a kill at any instruction leaves the old or the new state.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/handles.h"
#include "kvplant/rollout.h"

namespace kvplant {
namespace {

constexpr const char* kStateFormat = "kvplant-rollout-state";
// The largest state file read back: a plant of tens of thousands of
// controllers stays far below it.
constexpr std::size_t kMaxStateBytes = 64u << 20;

const char* FilePhaseName(FilePhase p) {
  switch (p) {
    case FilePhase::kPending: return "pending";
    case FilePhase::kSending: return "sending";
    case FilePhase::kRenaming: return "renaming";
    case FilePhase::kArrived: return "arrived";
  }
  return "pending";
}

kv::Status WriteAll(int fd, const std::string& data) {
  for (std::size_t at = 0; at < data.size();) {
    const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kv::SystemError("write");
    at += static_cast<std::size_t>(n);
  }
  return kv::Ok();
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Members of a JSON object, with defaults for what is missing.
std::string Text(const cJSON* o, const char* name) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, name);
  return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
}
long long Number(const cJSON* o, const char* name, long long otherwise = 0) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, name);
  return cJSON_IsNumber(v) ? static_cast<long long>(v->valuedouble) : otherwise;
}
bool Flag(const cJSON* o, const char* name) { return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(o, name)); }

}  // namespace

std::vector<int> DefaultWaves() {
  std::vector<int> waves;
  for (const int size : {1, 10, 0}) waves.push_back(size);
  return waves;
}

const char* PhaseName(Phase p) {
  switch (p) {
    case Phase::kWaiting: return "waiting";
    case Phase::kSending: return "sending";
    case Phase::kFollowing: return "following";
    case Phase::kOk: return "ok";
    case Phase::kFailed: return "failed";
    case Phase::kSkipped: return "skipped";
  }
  return "waiting";
}

kv::Result<std::string> KeyFingerprint(const std::string& pemPath) {
  const kv::File f = kv::OpenFile(pemPath.c_str(), "r");
  if (!f) return kv::SystemError("cannot open " + pemPath);
  const kv::Pkey key(PEM_read_PUBKEY(f.get(), nullptr, nullptr, nullptr));
  if (!key) {
    kv::ClearSslErrors();
    return kv::Error(0, pemPath + " is not a PEM public key");
  }
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  if (length <= 0) {
    kv::ClearSslErrors();
    return kv::Error(0, pemPath + ": cannot encode the key");
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLength = 0;
  const bool hashed =
      EVP_Digest(der, static_cast<std::size_t>(length), digest.data(), &digestLength, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) return kv::Error(0, "SHA-256 unavailable");
  std::array<unsigned char, 64> text{};
  const int n = EVP_EncodeBlock(text.data(), digest.data(), static_cast<int>(digestLength));
  std::string out(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  return "SHA256:" + out;
}

long long WallMs() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

std::string UtcNow() {
  const long long ms = WallMs();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03lldZ", text, ms % 1000);
  return out;
}

namespace {

cJSON* OptionsJson(const RolloutOptions& o) {
  cJSON* j = cJSON_CreateObject();
  cJSON_AddStringToObject(j, "public_key", o.publicKey.c_str());
  cJSON_AddStringToObject(j, "audit", o.audit.c_str());
  cJSON* waves = cJSON_AddArrayToObject(j, "waves");
  for (const int w : o.waves) cJSON_AddItemToArray(waves, w == 0 ? cJSON_CreateString("rest") : cJSON_CreateNumber(w));
  cJSON_AddNumberToObject(j, "parallel", o.parallel);
  cJSON_AddNumberToObject(j, "max_failures", o.maxFailures);
  cJSON_AddNumberToObject(j, "give_up_ms", static_cast<double>(o.giveUpMs));
  cJSON_AddBoolToObject(j, "json", o.json);
  cJSON* ssh = cJSON_AddObjectToObject(j, "ssh");
  cJSON_AddStringToObject(ssh, "user", o.ssh.user.c_str());
  cJSON_AddStringToObject(ssh, "identity", o.ssh.identity.c_str());
  cJSON_AddStringToObject(ssh, "known_hosts", o.ssh.knownHosts.c_str());
  cJSON_AddBoolToObject(ssh, "accept_new_host_keys", o.ssh.acceptNewHostKeys);
  cJSON_AddNumberToObject(ssh, "port", o.ssh.port);
  cJSON_AddNumberToObject(ssh, "timeout_ms", o.ssh.timeoutMs);
  return j;
}

RolloutOptions OptionsOf(const cJSON* j) {
  RolloutOptions o;
  o.publicKey = Text(j, "public_key");
  o.audit = Text(j, "audit");
  o.waves.clear();
  const cJSON* w = nullptr;
  cJSON_ArrayForEach(w, cJSON_GetObjectItemCaseSensitive(j, "waves")) {
    o.waves.push_back(cJSON_IsNumber(w) ? static_cast<int>(w->valuedouble) : 0);
  }
  if (o.waves.empty()) o.waves.push_back(0);
  o.parallel = static_cast<int>(Number(j, "parallel", 8));
  o.maxFailures = static_cast<int>(Number(j, "max_failures", 0));
  o.giveUpMs = Number(j, "give_up_ms", 600000);
  o.json = Flag(j, "json");
  const cJSON* ssh = cJSON_GetObjectItemCaseSensitive(j, "ssh");
  o.ssh.user = Text(ssh, "user");
  o.ssh.identity = Text(ssh, "identity");
  o.ssh.knownHosts = Text(ssh, "known_hosts");
  o.ssh.acceptNewHostKeys = Flag(ssh, "accept_new_host_keys");
  o.ssh.port = static_cast<int>(Number(ssh, "port", 22));
  o.ssh.timeoutMs = static_cast<int>(Number(ssh, "timeout_ms", 30000));
  return o;
}

std::string StateJson(const RolloutState& s) {
  const kv::Json j(cJSON_CreateObject());
  cJSON* root = j.get();
  cJSON_AddStringToObject(root, "format", kStateFormat);
  cJSON_AddNumberToObject(root, "version", 1);
  cJSON_AddStringToObject(root, "rollout", s.id.c_str());
  cJSON_AddStringToObject(root, "started", s.started.c_str());
  cJSON_AddBoolToObject(root, "finished", s.finished);
  cJSON_AddStringToObject(root, "stopped", s.stopped.c_str());
  cJSON_AddBoolToObject(root, "paused", s.paused);
  cJSON_AddItemToObject(root, "options", OptionsJson(s.options));
  cJSON* files = cJSON_AddArrayToObject(root, "files");
  for (const StateFile& f : s.files) {
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "path", f.path.c_str());
    cJSON_AddStringToObject(o, "name", f.name.c_str());
    cJSON_AddNumberToObject(o, "size", static_cast<double>(f.size));
    cJSON_AddStringToObject(o, "sha256", f.sha256.c_str());
    cJSON_AddStringToObject(o, "signature", f.signature.c_str());
    cJSON_AddStringToObject(o, "signature_name", f.signatureName.c_str());
    cJSON_AddNumberToObject(o, "signature_size", static_cast<double>(f.signatureSize));
    cJSON_AddStringToObject(o, "signature_sha256", f.signatureSha256.c_str());
    cJSON_AddItemToArray(files, o);
  }
  cJSON* list = cJSON_AddArrayToObject(root, "controllers");
  for (const ControllerState& c : s.controllers) {
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "mac", c.mac.c_str());
    cJSON_AddStringToObject(o, "address", c.address.c_str());
    cJSON_AddStringToObject(o, "device_name", c.deviceName.c_str());
    cJSON_AddStringToObject(o, "platform", c.platform.c_str());
    cJSON_AddStringToObject(o, "sw_revision", c.swRevision.c_str());
    cJSON_AddStringToObject(o, "image_version", c.imageVersion.c_str());
    cJSON_AddNumberToObject(o, "wave", c.wave);
    cJSON_AddStringToObject(o, "state", PhaseName(c.phase));
    cJSON_AddStringToObject(o, "reason", c.reason.c_str());
    cJSON_AddStringToObject(o, "what", c.what.c_str());
    cJSON_AddStringToObject(o, "expect_app", c.expectApp.c_str());
    cJSON_AddStringToObject(o, "expect_image", c.expectImage.c_str());
    if (c.baseline) {
      cJSON* b = cJSON_AddObjectToObject(o, "baseline");
      cJSON_AddNumberToObject(b, "sequence", c.baseline->sequence);
      cJSON_AddStringToObject(b, "action", c.baseline->action.c_str());
      cJSON_AddNumberToObject(b, "action_code", c.baseline->actionCode);
      cJSON_AddStringToObject(b, "error", c.baseline->error.c_str());
      cJSON_AddNumberToObject(b, "error_number", c.baseline->errorNumber);
      cJSON_AddNumberToObject(b, "progress", c.baseline->progress);
      cJSON_AddNumberToObject(b, "elapsed", c.baseline->elapsed);
      cJSON_AddNumberToObject(b, "at_ms", static_cast<double>(c.baseline->atWallMs));
    }
    cJSON* uploads = cJSON_AddArrayToObject(o, "uploads");
    for (const Upload& u : c.uploads) {
      cJSON* x = cJSON_CreateObject();
      const StateFile& f = s.files[u.file];
      cJSON_AddStringToObject(x, "name", (u.signature ? f.signatureName : f.name).c_str());
      cJSON_AddNumberToObject(x, "file", static_cast<double>(u.file));
      cJSON_AddBoolToObject(x, "signature", u.signature);
      cJSON_AddStringToObject(x, "state", FilePhaseName(u.phase));
      cJSON_AddNumberToObject(x, "bytes", static_cast<double>(u.bytes));
      cJSON_AddItemToArray(uploads, x);
    }
    cJSON_AddStringToObject(o, "sw_revision_after", c.appAfter.c_str());
    cJSON_AddStringToObject(o, "image_version_after", c.imageAfter.c_str());
    cJSON_AddStringToObject(o, "activity", c.activity.c_str());
    cJSON_AddNumberToObject(o, "percent", c.percent);
    cJSON_AddNumberToObject(o, "started_ms", static_cast<double>(c.startedMs));
    cJSON_AddNumberToObject(o, "ended_ms", static_cast<double>(c.endedMs));
    cJSON_AddItemToArray(list, o);
  }
  kv::CMemory<char> text(cJSON_Print(root));
  return text ? std::string(text.get()) + "\n" : std::string();
}

}  // namespace

kv::Status SaveState(const RolloutState& state, const std::string& path, bool create) {
  const std::string json = StateJson(state);
  if (json.empty()) return kv::Error(ENOMEM, "cannot write the state");
  const std::string temp = path + ".tmp";
  (void)::unlink(temp.c_str());  // left by a kill during an earlier write
  {
    const kv::Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return kv::SystemError("cannot write " + temp);
    if (auto w = WriteAll(fd.get(), json); !w) return w.error().WithContext(temp);
    if (::fsync(fd.get()) != 0) return kv::SystemError("cannot flush " + temp);
  }
  if (create) {
    if (::link(temp.c_str(), path.c_str()) != 0) {
      const int e = errno;
      (void)::unlink(temp.c_str());
      if (e == EEXIST) return kv::Error(EEXIST, "the state file " + path + " exists");
      return kv::SystemError("cannot create " + path, e);
    }
    (void)::unlink(temp.c_str());
  } else if (::rename(temp.c_str(), path.c_str()) != 0) {
    return kv::SystemError("cannot replace " + path);
  }
  const kv::Fd dir(::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::fsync(dir.get()) != 0) return kv::SystemError("cannot flush the folder of " + path);
  return kv::Ok();
}

kv::Result<RolloutState> LoadState(const std::string& path) {
  const kv::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return kv::SystemError("cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kv::Error(0, path + " is not a regular file");
  if (static_cast<std::size_t>(st.st_size) > kMaxStateBytes) return kv::Error(0, path + " is too large");
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::read(fd.get(), text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kv::SystemError("cannot read " + path);
    at += static_cast<std::size_t>(n);
  }
  const kv::Json j(cJSON_Parse(text.c_str()));
  if (!j || Text(j.get(), "format") != kStateFormat || Number(j.get(), "version") != 1)
    return kv::Error(0, path + " is not a kvplant rollout state");
  RolloutState s;
  s.id = Text(j.get(), "rollout");
  s.started = Text(j.get(), "started");
  s.finished = Flag(j.get(), "finished");
  s.stopped = Text(j.get(), "stopped");
  s.paused = Flag(j.get(), "paused");
  s.options = OptionsOf(cJSON_GetObjectItemCaseSensitive(j.get(), "options"));
  const cJSON* o = nullptr;
  cJSON_ArrayForEach(o, cJSON_GetObjectItemCaseSensitive(j.get(), "files")) {
    StateFile f;
    f.path = Text(o, "path");
    f.name = Text(o, "name");
    f.size = static_cast<std::uint64_t>(Number(o, "size"));
    f.sha256 = Text(o, "sha256");
    f.signature = Text(o, "signature");
    f.signatureName = Text(o, "signature_name");
    f.signatureSize = static_cast<std::uint64_t>(Number(o, "signature_size"));
    f.signatureSha256 = Text(o, "signature_sha256");
    s.files.push_back(std::move(f));
  }
  cJSON_ArrayForEach(o, cJSON_GetObjectItemCaseSensitive(j.get(), "controllers")) {
    ControllerState c;
    c.mac = Text(o, "mac");
    c.address = Text(o, "address");
    c.deviceName = Text(o, "device_name");
    c.platform = Text(o, "platform");
    c.swRevision = Text(o, "sw_revision");
    c.imageVersion = Text(o, "image_version");
    c.wave = static_cast<int>(Number(o, "wave"));
    const std::string phase = Text(o, "state");
    for (const Phase p :
         {Phase::kWaiting, Phase::kSending, Phase::kFollowing, Phase::kOk, Phase::kFailed, Phase::kSkipped})
      if (phase == PhaseName(p)) c.phase = p;
    c.reason = Text(o, "reason");
    c.what = Text(o, "what");
    c.expectApp = Text(o, "expect_app");
    c.expectImage = Text(o, "expect_image");
    if (const cJSON* b = cJSON_GetObjectItemCaseSensitive(o, "baseline"); cJSON_IsObject(b)) {
      Baseline x;
      x.sequence = static_cast<int>(Number(b, "sequence"));
      x.action = Text(b, "action");
      x.actionCode = static_cast<int>(Number(b, "action_code"));
      x.error = Text(b, "error");
      x.errorNumber = static_cast<int>(Number(b, "error_number"));
      x.progress = static_cast<int>(Number(b, "progress"));
      x.elapsed = static_cast<int>(Number(b, "elapsed"));
      x.atWallMs = Number(b, "at_ms");
      c.baseline = x;
    }
    const cJSON* u = nullptr;
    cJSON_ArrayForEach(u, cJSON_GetObjectItemCaseSensitive(o, "uploads")) {
      Upload up;
      up.file = static_cast<std::size_t>(Number(u, "file"));
      if (up.file >= s.files.size()) return kv::Error(0, path + ": an upload of a file the rollout does not send");
      up.signature = Flag(u, "signature");
      const std::string state = Text(u, "state");
      for (const FilePhase p : {FilePhase::kPending, FilePhase::kSending, FilePhase::kRenaming, FilePhase::kArrived})
        if (state == FilePhaseName(p)) up.phase = p;
      up.bytes = static_cast<std::uint64_t>(Number(u, "bytes"));
      c.uploads.push_back(up);
    }
    c.appAfter = Text(o, "sw_revision_after");
    c.imageAfter = Text(o, "image_version_after");
    c.activity = Text(o, "activity");
    c.percent = static_cast<int>(std::max(0LL, std::min(100LL, Number(o, "percent"))));
    c.startedMs = Number(o, "started_ms");
    c.endedMs = Number(o, "ended_ms");
    s.controllers.push_back(std::move(c));
  }
  return s;
}

std::string ControlPath(const std::string& statePath) { return statePath + ".control"; }

const char* ControlName(Control c) {
  switch (c) {
    case Control::kRun: return "run";
    case Control::kPause: return "pause";
    case Control::kStop: return "stop";
  }
  return "run";
}

Control ReadControl(const std::string& statePath) {
  const kv::Fd fd(::open(ControlPath(statePath).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Control::kRun;
  std::array<char, 16> word{};
  const ssize_t n = ::read(fd.get(), word.data(), word.size() - 1);
  if (n <= 0) return Control::kRun;
  std::string text(word.data(), static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text == "pause") return Control::kPause;
  if (text == "stop") return Control::kStop;
  return Control::kRun;
}

kv::Status WriteControl(const std::string& statePath, Control c) {
  const std::string path = ControlPath(statePath), temp = path + ".tmp";
  (void)::unlink(temp.c_str());
  {
    const kv::Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return kv::SystemError("cannot write " + temp);
    if (auto w = WriteAll(fd.get(), std::string(ControlName(c)) + "\n"); !w) return w.error().WithContext(temp);
    if (::fsync(fd.get()) != 0) return kv::SystemError("cannot flush " + temp);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) return kv::SystemError("cannot replace " + path);
  const kv::Fd dir(::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::fsync(dir.get()) != 0) return kv::SystemError("cannot flush the folder of " + path);
  return kv::Ok();
}

}  // namespace kvplant
