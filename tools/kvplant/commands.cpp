// The command lines of kvplant rollout, resume, send and wait.
#include <cjson/cJSON.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/handles.h"
#include "idprot/idiface.h"
#include "kvplant/rollout.h"

namespace kvplant {
namespace {

enum Which : unsigned { kRollout = 1, kResume = 2, kSend = 4, kWait = 8, kSsh = kRollout | kResume | kSend };

enum OptionId : int {
  kInventory = 256,
  kPublicKey,
  kWaves,
  kParallel,
  kMaxFailures,
  kGiveUp,
  kStateOption,
  kAuditOption,
  kJson,
  kOnly,
  kUser,
  kIdentity,
  kKnownHosts,
  kAcceptNew,
  kSshPort,
  kSshTimeout,
  kBaseline,
  kExpectImage,
  kExpectApp,
};

struct OptionSpec {
  const char* name;
  int val;
  int hasArg;
  unsigned commands;
};

constexpr OptionSpec kOptions[] = {
    {"inventory", kInventory, required_argument, kRollout},
    {"public-key", kPublicKey, required_argument, kRollout},
    {"waves", kWaves, required_argument, kRollout},
    {"parallel", kParallel, required_argument, kRollout},
    {"max-failures", kMaxFailures, required_argument, kRollout},
    {"give-up", kGiveUp, required_argument, kRollout | kWait},
    {"state", kStateOption, required_argument, kRollout | kResume},
    {"audit", kAuditOption, required_argument, kRollout},
    {"json", kJson, no_argument, kRollout | kResume | kSend | kWait},
    {"only", kOnly, required_argument, kRollout},
    {"user", kUser, required_argument, kSsh},
    {"identity", kIdentity, required_argument, kSsh},
    {"known-hosts", kKnownHosts, required_argument, kSsh},
    {"accept-new-host-keys", kAcceptNew, no_argument, kSsh},
    {"ssh-port", kSshPort, required_argument, kSsh},
    {"ssh-timeout", kSshTimeout, required_argument, kSsh},
    {"baseline", kBaseline, required_argument, kWait},
    {"expect-image", kExpectImage, required_argument, kWait},
    {"expect-app", kExpectApp, required_argument, kWait},
    {"help", 'h', no_argument, kRollout | kResume | kSend | kWait},
};

constexpr const char* kSshHelp =
    "SSH-OPTIONS:\n"
    "  --user NAME               user on the controllers (default root)\n"
    "  --identity FILE           private key (default: ssh's keys and the agent)\n"
    "  --known-hosts FILE        host keys (default ~/.ssh/known_hosts)\n"
    "  --accept-new-host-keys    trust a controller not yet known and record its key\n"
    "  --ssh-port N              SSH port (default 22)\n"
    "  --ssh-timeout DURATION    connect and I/O timeout (default 30s)\n";

const char* Help(unsigned which) {
  switch (which) {
    case kRollout:
      return "usage: kvplant rollout --inventory FILE.json --public-key PEM [--waves 1,10,rest]\n"
             "         [--parallel N] [--max-failures N] [--give-up DURATION] [--state FILE]\n"
             "         [--audit FILE] [--json] [--only MAC,...] SSH-OPTIONS RELEASE-FILE...\n"
             "Pre-flights the release, then sends it in waves over SFTP and follows each\n"
             "controller to its end.\n"
             "  --waves LIST              wave sizes, 'rest' for all remaining (default 1,10,rest)\n"
             "  --parallel N              transfers at once (default 8)\n"
             "  --max-failures N          failures a wave may have and the rollout go on (default 0)\n"
             "  --give-up DURATION        per controller, restart included (default 10min)\n"
             "  --state FILE              state file, must not exist (default kvplant-rollout.state)\n"
             "  --audit FILE              audit trail, appended (default kvplant-audit.jsonl)\n"
             "  --json                    JSON lines even on a terminal\n"
             "  --only MAC,...            only these controllers of the inventory\n";
    case kResume:
      return "usage: kvplant resume [--state FILE] [--json] [SSH-OPTIONS]\n"
             "Goes on with the rollout the state file describes; nothing is sent twice.\n";
    case kSend:
      return "usage: kvplant send ADDRESS [--json] SSH-OPTIONS RELEASE-FILE...\n"
             "Sends one controller the files (signatures first); prints\n"
             "{\"controller\":ADDRESS,\"sent\":[...],\"baseline\":SEQ}.\n";
    default:
      return "usage: kvplant wait ADDRESS [--baseline SEQ] [--expect-image REV] [--expect-app REV]\n"
             "         [--give-up DURATION] [--json]\n"
             "Follows the controller's update to its end, through a restart.\n";
  }
}

const char* Name(unsigned which) {
  return which == kRollout ? "rollout" : which == kResume ? "resume" : which == kSend ? "send" : "wait";
}

int UsageError(unsigned which, const std::string& what) {
  std::fprintf(stderr, "kvplant: %s\nTry 'kvplant %s --help' for more information.\n", what.c_str(), Name(which));
  return kExitUsage;
}

// A duration: a number with the unit ms, s, min or h (seconds without one).
std::optional<long long> Duration(std::string_view text) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data() || value <= 0) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  long long scale = 0;
  if (unit.empty() || unit == "s")
    scale = 1000;
  else if (unit == "ms")
    scale = 1;
  else if (unit == "min" || unit == "m")
    scale = 60 * 1000;
  else if (unit == "h")
    scale = 3600 * 1000;
  if (scale == 0 || value > 7LL * 24 * 3600 * 1000 / scale) return std::nullopt;
  return value * scale;
}

std::optional<long long> Count(std::string_view text, long long least, long long most) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < least || value > most) return std::nullopt;
  return value;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = text.find(',', at);
    out.push_back(text.substr(at, comma - at));
    if (comma == std::string::npos) return out;
    at = comma + 1;
  }
}

struct Parsed {
  RolloutOptions o;
  std::string inventory, state = "kvplant-rollout.state", expectImage, expectApp;
  std::vector<std::string> only, words;
  std::optional<long long> baseline;
  std::set<int> given;
  bool help = false;
};

// Parses a command's options; "" or the usage error.
std::string Parse(unsigned which, int argc, char** argv, Parsed& p) {
  std::vector<option> longs;
  for (const OptionSpec& s : kOptions)
    if ((s.commands & which) != 0) longs.push_back({s.name, s.hasArg, nullptr, s.val});
  longs.push_back({nullptr, 0, nullptr, 0});
  ::opterr = 0;
  ::optind = 1;
  for (;;) {
    const int c = ::getopt_long(argc, argv, ":h", longs.data(), nullptr);
    if (c == -1) break;
    const std::string value = optarg != nullptr ? optarg : "";
    if (c == '?') {
      const std::string word = ::optind > 0 && ::optind <= argc ? argv[::optind - 1] : "";
      return "unknown option '" + word + "'";
    }
    if (c == ':') return std::string("option '") + argv[::optind - 1] + "' needs a value";
    p.given.insert(c);
    switch (c) {
      case 'h': p.help = true; break;
      case kInventory: p.inventory = value; break;
      case kPublicKey: p.o.publicKey = value; break;
      case kWaves: {
        p.o.waves.clear();
        for (const std::string& w : Split(value)) {
          const auto n = Count(w, 1, 1000000);
          if (w == "rest")
            p.o.waves.push_back(0);
          else if (n)
            p.o.waves.push_back(static_cast<int>(*n));
          else
            return "invalid wave size '" + w + "' in --waves: give numbers from 1 and 'rest' (1,10,rest)";
        }
        break;
      }
      case kParallel: {
        const auto n = Count(value, 1, 1024);
        if (!n) return "invalid --parallel '" + value + "': give a number from 1 to 1024";
        p.o.parallel = static_cast<int>(*n);
        break;
      }
      case kMaxFailures: {
        const auto n = Count(value, 0, 1000000);
        if (!n) return "invalid --max-failures '" + value + "': give a number from 0";
        p.o.maxFailures = static_cast<int>(*n);
        break;
      }
      case kGiveUp: {
        const auto ms = Duration(value);
        if (!ms) return "invalid --give-up '" + value + "': give a duration such as 600, 90s, 10min or 1h";
        p.o.giveUpMs = *ms;
        break;
      }
      case kStateOption: p.state = value; break;
      case kAuditOption: p.o.audit = value; break;
      case kJson: p.o.json = true; break;
      case kOnly: p.only = Split(value); break;
      case kUser: p.o.ssh.user = value; break;
      case kIdentity: p.o.ssh.identity = value; break;
      case kKnownHosts: p.o.ssh.knownHosts = value; break;
      case kAcceptNew: p.o.ssh.acceptNewHostKeys = true; break;
      case kSshPort: {
        const auto n = Count(value, 1, 65535);
        if (!n) return "invalid --ssh-port '" + value + "': give a number from 1 to 65535";
        p.o.ssh.port = static_cast<int>(*n);
        break;
      }
      case kSshTimeout: {
        const auto ms = Duration(value);
        if (!ms || *ms > 3600 * 1000) return "invalid --ssh-timeout '" + value + "': give a duration such as 30s";
        p.o.ssh.timeoutMs = static_cast<int>(*ms);
        break;
      }
      case kBaseline: {
        const auto n = Count(value, 0, 0x7fffffff);
        if (!n) return "invalid --baseline '" + value + "': give the msgSeqNumber kvplant send printed";
        p.baseline = *n;
        break;
      }
      case kExpectImage: p.expectImage = value; break;
      case kExpectApp: p.expectApp = value; break;
      default: break;
    }
  }
  for (int i = ::optind; i < argc; ++i) p.words.emplace_back(argv[i]);
  return "";
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A state file's files entry for a release file, with its signature.
kv::Result<StateFile> FileOf(const ReleaseFile& r) {
  StateFile f;
  f.path = Absolute(r.path);
  f.name = r.name;
  f.size = r.size;
  f.sha256 = r.sha256;
  if (!r.signature.empty()) {
    auto hashed = HashFile(r.signature);
    if (!hashed) return hashed.error();
    f.signature = Absolute(r.signature);
    f.signatureName = BaseName(r.signature);
    f.signatureSize = hashed.value().first;
    f.signatureSha256 = hashed.value().second;
  }
  return f;
}

// A name a controller's watch folder can take: no path, nothing hidden.
bool PlainName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.size() > 200) return false;
  for (const char ch : name)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '-' || ch == '+'))
      return false;
  return true;
}

std::string RolloutId() {
  std::string id = UtcNow();
  std::string out;
  for (const char ch : id)
    if (std::isalnum(static_cast<unsigned char>(ch))) out += ch;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-%d", static_cast<int>(::getpid()));
  return out + suffix;
}

}  // namespace

int CmdRollout(int argc, char** argv) {
  Parsed p;
  if (const std::string e = Parse(kRollout, argc, argv, p); !e.empty()) return UsageError(kRollout, e);
  if (p.help) {
    std::printf("%s%s", Help(kRollout), kSshHelp);
    return kExitOk;
  }
  if (p.inventory.empty()) return UsageError(kRollout, "rollout needs --inventory FILE.json");
  if (p.o.publicKey.empty()) return UsageError(kRollout, "rollout needs --public-key PEM");
  if (p.words.empty()) return UsageError(kRollout, "rollout needs the RELEASE-FILEs to send");
  struct stat st {};
  if (::lstat(p.state.c_str(), &st) == 0)
    return UsageError(kRollout, "the state file " + p.state + " exists: kvplant resume --state " + p.state +
                                    " goes on with its rollout");
  auto fingerprint = KeyFingerprint(p.o.publicKey);
  if (!fingerprint) return UsageError(kRollout, fingerprint.error().message());
  p.o.publicKey = Absolute(p.o.publicKey);
  p.o.audit = Absolute(p.o.audit);
  if (!p.o.ssh.identity.empty()) p.o.ssh.identity = Absolute(p.o.ssh.identity);
  if (!p.o.ssh.knownHosts.empty()) p.o.ssh.knownHosts = Absolute(p.o.ssh.knownHosts);
  auto inventory = LoadInventory(p.inventory);
  if (!inventory) {
    std::fprintf(stderr, "kvplant: %s\n", inventory.error().message().c_str());
    return kExitUsage;
  }
  auto release = LoadRelease(p.words);
  if (!release) {
    std::fprintf(stderr, "kvplant: %s\n", release.error().message().c_str());
    return kExitUsage;
  }
  RolloutState s;
  s.id = RolloutId();
  s.started = UtcNow();
  s.options = p.o;
  for (const ReleaseFile& r : release.value()) {
    auto f = FileOf(r);
    if (!f) {
      std::fprintf(stderr, "kvplant: %s\n", f.error().message().c_str());
      return kExitUsage;
    }
    if (!PlainName(f.value().name) || (!f.value().signature.empty() && !PlainName(f.value().signatureName))) {
      std::fprintf(stderr, "kvplant: '%s' is not a name for the watch folder\n",
                   kvid::Shown(f.value().name, false).c_str());
      return kExitUsage;
    }
    s.files.push_back(std::move(f).value());
  }
  const Inventory& inv = inventory.value();
  std::set<std::string> only(p.only.begin(), p.only.end());
  for (const std::string& mac : only) {
    bool known = false;
    for (const Controller& c : inv.controllers) known = known || c.mac == mac;
    if (!known) return UsageError(kRollout, "--only names " + mac + ", which the inventory does not hold");
  }
  // Pre-flight: no controller is sent a file it would refuse.
  const std::vector<Plan> plans = PlanRelease(release.value(), inv, p.o.publicKey);
  std::size_t taking = 0;
  for (const Plan& plan : plans) {
    if (plan.controller >= inv.controllers.size()) continue;
    const Controller& k = inv.controllers[plan.controller];
    if (!only.empty() && only.count(k.mac) == 0) continue;
    ControllerState c;
    c.mac = k.mac;
    c.address = k.addresses.empty() ? "" : k.addresses.front();
    c.deviceName = k.deviceName;
    c.platform = k.platform;
    c.swRevision = k.swRevision;
    c.imageVersion = k.imageVersion;
    c.what = plan.what;
    c.expectApp = plan.expectApp;
    c.expectImage = plan.expectImage;
    switch (plan.take) {
      case Take::kTakes:
        c.phase = Phase::kWaiting;
        for (const std::size_t f : plan.files) {
          if (f >= s.files.size()) continue;
          if (!s.files[f].signature.empty()) c.uploads.push_back(Upload{f, true, FilePhase::kPending, 0});
          c.uploads.push_back(Upload{f, false, FilePhase::kPending, 0});
        }
        ++taking;
        break;
      case Take::kAlreadyRuns:
        c.phase = Phase::kSkipped;
        c.reason = "already runs it";
        break;
      case Take::kNothing:
        c.phase = Phase::kSkipped;
        c.reason = "takes nothing: " + plan.reason;
        break;
      case Take::kRejected:
        c.phase = Phase::kSkipped;
        c.reason = "REJECTED: " + plan.reason;
        break;
      case Take::kNotChecked:
        c.phase = Phase::kSkipped;
        c.reason = "NOT CHECKED: " + plan.reason;
        break;
    }
    if (c.phase == Phase::kWaiting && c.address.empty()) {
      c.phase = Phase::kSkipped;
      c.reason = "no address";
      --taking;
    }
    s.controllers.push_back(std::move(c));
  }
  // Waves in inventory order; after the sizes given, waves of the last size.
  int wave = 0;
  long long left = 0;
  for (ControllerState& c : s.controllers) {
    if (c.phase != Phase::kWaiting) continue;
    if (left == 0) {
      ++wave;
      const int size = p.o.waves[std::min<std::size_t>(static_cast<std::size_t>(wave - 1), p.o.waves.size() - 1)];
      left = size == 0 ? static_cast<long long>(s.controllers.size()) : size;
    }
    c.wave = wave;
    --left;
  }
  (void)taking;
  if (auto r = SaveState(s, p.state, true); !r) {
    std::fprintf(stderr, "kvplant: %s\n", r.error().message().c_str());
    return kExitUsage;
  }
  return RunRollout(s, p.state, false);
}

int CmdResume(int argc, char** argv) {
  Parsed p;
  if (const std::string e = Parse(kResume, argc, argv, p); !e.empty()) return UsageError(kResume, e);
  if (p.help) {
    std::printf("%s%s", Help(kResume), kSshHelp);
    return kExitOk;
  }
  if (!p.words.empty()) return UsageError(kResume, "resume takes no RELEASE-FILE ('" + p.words[0] + "')");
  auto loaded = LoadState(p.state);
  if (!loaded) {
    std::fprintf(stderr, "kvplant: %s\n", loaded.error().message().c_str());
    return kExitUsage;
  }
  RolloutState s = std::move(loaded).value();
  // SSH-OPTIONS given now replace the stored ones; --json too.
  if (p.given.count(kUser)) s.options.ssh.user = p.o.ssh.user;
  if (p.given.count(kIdentity)) s.options.ssh.identity = Absolute(p.o.ssh.identity);
  if (p.given.count(kKnownHosts)) s.options.ssh.knownHosts = Absolute(p.o.ssh.knownHosts);
  if (p.given.count(kAcceptNew)) s.options.ssh.acceptNewHostKeys = true;
  if (p.given.count(kSshPort)) s.options.ssh.port = p.o.ssh.port;
  if (p.given.count(kSshTimeout)) s.options.ssh.timeoutMs = p.o.ssh.timeoutMs;
  if (p.given.count(kJson)) s.options.json = true;
  if (!s.finished) {
    // The files must be the ones the rollout began with.
    for (const StateFile& f : s.files) {
      for (const auto& [path, sha] : {std::pair{f.path, f.sha256}, std::pair{f.signature, f.signatureSha256}}) {
        if (path.empty()) continue;
        auto hashed = HashFile(path);
        if (!hashed || hashed.value().second != sha) {
          std::fprintf(stderr, "kvplant: %s is not the file the rollout began with%s\n", path.c_str(),
                       hashed ? "" : (": " + hashed.error().message()).c_str());
          return kExitUsage;
        }
      }
    }
  }
  const bool finished = s.finished;
  const int status = RunRollout(s, p.state, true);
  return finished ? kExitOk : status;
}

int CmdSend(int argc, char** argv) {
  Parsed p;
  if (const std::string e = Parse(kSend, argc, argv, p); !e.empty()) return UsageError(kSend, e);
  if (p.help) {
    std::printf("%s%s", Help(kSend), kSshHelp);
    return kExitOk;
  }
  if (p.words.size() < 2) return UsageError(kSend, "send needs the controller's ADDRESS and the RELEASE-FILEs");
  const std::string address = p.words[0];
  auto reached = Reach(address);
  if (!reached) return UsageError(kSend, reached.error().message());
  auto release = LoadRelease({p.words.begin() + 1, p.words.end()});
  if (!release) {
    std::fprintf(stderr, "kvplant: %s\n", release.error().message().c_str());
    return kExitUsage;
  }
  // The status before anything is sent: kvplant wait --baseline follows the
  // update that comes after it.
  kvid::Controller k = std::move(reached).value();
  kvid::FollowOptions o;
  kvid::Followed followed;
  std::optional<kvid::Status> taken;
  (void)kvid::Ask(o, k, kvid::kStatusRequest,
                  [&](kvid::Peer& peer) { return kvid::StatusJudge(peer, followed, taken); });
  auto sftp = Sftp::Connect(address, p.o.ssh);
  if (!sftp) {
    std::fprintf(stderr, "kvplant: %s\n", sftp.error().message().c_str());
    return kExitFailed;
  }
  const kv::Json out(cJSON_CreateObject());
  cJSON_AddStringToObject(out.get(), "controller", address.c_str());
  cJSON* sent = cJSON_AddArrayToObject(out.get(), "sent");
  for (const ReleaseFile& r : release.value()) {
    auto f = FileOf(r);
    if (!f) {
      std::fprintf(stderr, "kvplant: %s\n", f.error().message().c_str());
      return kExitUsage;
    }
    const StateFile& x = f.value();
    if (!PlainName(x.name) || (!x.signature.empty() && !PlainName(x.signatureName))) {
      std::fprintf(stderr, "kvplant: '%s' is not a name for the watch folder\n", kvid::Shown(x.name, false).c_str());
      return kExitUsage;
    }
    struct Item {
      std::string local, name;
      std::uint64_t size;
      std::string sha256;
    };
    std::vector<Item> items;
    if (!x.signature.empty()) items.push_back({x.signature, x.signatureName, x.signatureSize, x.signatureSha256});
    items.push_back({x.path, x.name, x.size, x.sha256});
    for (const Item& item : items) {
      if (auto u = sftp.value()->Upload(item.local, item.size, item.sha256, "/opt/kv2/swfw/", item.name,
                                        FilePhase::kPending, {});
          !u) {
        std::fprintf(stderr, "kvplant: %s: %s\n", item.name.c_str(), u.error().message().c_str());
        return kExitFailed;
      }
      cJSON_AddItemToArray(sent, cJSON_CreateString(item.name.c_str()));
    }
  }
  if (taken)
    cJSON_AddNumberToObject(out.get(), "baseline", taken->sequence);
  else
    cJSON_AddNullToObject(out.get(), "baseline");
  const kv::CMemory<char> text(cJSON_PrintUnformatted(out.get()));
  std::printf("%s\n", text ? text.get() : "{}");
  return kExitOk;
}

int CmdWait(int argc, char** argv) {
  Parsed p;
  if (const std::string e = Parse(kWait, argc, argv, p); !e.empty()) return UsageError(kWait, e);
  if (p.help) {
    std::printf("%s", Help(kWait));
    return kExitOk;
  }
  if (p.words.size() != 1)
    return UsageError(kWait, p.words.empty() ? "wait needs the controller's ADDRESS"
                                             : "wait takes one ADDRESS, not also '" + p.words[1] + "'");
  auto reached = Reach(p.words[0]);
  if (!reached) return UsageError(kWait, reached.error().message());
  kvid::Controller k = std::move(reached).value();
  if (!p.given.count(kGiveUp)) p.o.giveUpMs = 10 * 60 * 1000;
  kvid::FollowOptions o;
  o.giveUpMs = static_cast<int>(p.o.giveUpMs);
  o.deadlineMs = kvid::NowMs() + p.o.giveUpMs;
  Expectation e;
  e.expectApp = p.expectApp;
  e.expectImage = p.expectImage;
  e.image = !p.expectImage.empty();
  // The status now is what the update's answers are told from, unless the
  // daemon already counted anew since the baseline (it restarted).
  kvid::Followed followed;
  std::optional<kvid::Status> now;
  (void)kvid::Ask(o, k, kvid::kStatusRequest, [&](kvid::Peer& peer) { return kvid::StatusJudge(peer, followed, now); });
  const auto id = kvid::ReadIdentity(o, k, 0);
  FollowOutcome r;
  const bool expected = (!p.expectApp.empty() || !p.expectImage.empty()) && id &&
                        (p.expectApp.empty() || ReportsApp(id->swRevision, p.expectApp)) &&
                        (p.expectImage.empty() || id->imageVersion == p.expectImage);
  const bool restarted = now && p.baseline && now->sequence < *p.baseline;
  if (expected && (p.expectImage.empty() || (now && now->action == kIdImageCommittedAction))) {
    r.ok = true;
    r.swRevision = id->swRevision;
    r.imageVersion = id->imageVersion;
  } else {
    if (now && !restarted) {
      o.baseline = *now;
      o.baselineAtMs = kvid::NowMs();
    }
    FollowHooks hooks;
    std::string last;
    hooks.progress = [&](const kvid::Status& s) {
      const std::string line = kvid::ProgressLine(s);
      if (line == last) return;
      last = line;
      if (p.o.json) {
        const kv::Json ev(cJSON_CreateObject());
        cJSON_AddStringToObject(ev.get(), "event", "progress");
        cJSON_AddNumberToObject(ev.get(), "percent", s.totalProgress);
        cJSON_AddStringToObject(ev.get(), "action", s.action.c_str());
        const kv::CMemory<char> text(cJSON_PrintUnformatted(ev.get()));
        if (text) std::printf("%s\n", text.get());
      }
      std::fflush(stdout);
    };
    r = FollowUpdate(k, o, e, hooks);
  }
  const kv::Json out(cJSON_CreateObject());
  cJSON_AddStringToObject(out.get(), "controller", p.words[0].c_str());
  cJSON_AddStringToObject(out.get(), "result", r.ok ? "ok" : "failed");
  cJSON_AddStringToObject(out.get(), "reason", r.reason.c_str());
  cJSON_AddStringToObject(out.get(), "sw_revision", r.swRevision.c_str());
  cJSON_AddStringToObject(out.get(), "image_version", r.imageVersion.c_str());
  if (p.o.json) {
    const kv::CMemory<char> text(cJSON_PrintUnformatted(out.get()));
    if (text) std::printf("%s\n", text.get());
  } else if (r.ok) {
    std::printf("%s: done, %s, %s\n", p.words[0].c_str(), kvid::Shown(r.swRevision, false).c_str(),
                kvid::Shown(r.imageVersion, false).c_str());
  }
  if (!r.ok) std::fprintf(stderr, "kvplant: %s: %s\n", p.words[0].c_str(), kvid::Shown(r.reason, false).c_str());
  return r.ok ? kExitOk : kExitFailed;
}

}  // namespace kvplant
