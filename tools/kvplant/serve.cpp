// kvplant serve: a live local web page of the plant and its rollout. It reads
// the inventory, the rollout's state file and audit trail (and an older
// inventory to compare with), and pushes what changes to the page as
// server-sent events, batched. The only actions are pause, run and stop of a
// running rollout, written into the control file beside its state.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <getopt.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/handles.h"
#include "kvid/kvid.h"
#include "kvplant/plant.h"
#include "kvplant/rollout.h"
#include "kvplant/view.h"
#include "kvplant/web.h"

namespace kvplant {
namespace {

constexpr const char* kServeHelp =
    "Usage: kvplant serve --inventory FILE.json [--state ROLLOUT.state] [--audit FILE.jsonl]\n"
    "                     [--diff OLD.json] [--listen ADDRESS:PORT] [--allow-remote] [--rediscover TIME]\n"
    "\n"
    "Serves a live page of the plant and its rollout on this machine and prints its address (with a\n"
    "one-time token after '#'). The page reads; its only actions are pause, run and stop of the rollout\n"
    "whose state it shows (through ROLLOUT.state.control).\n"
    "\n"
    "      --inventory FILE     the plant's inventory (read again when it changes)\n"
    "      --state FILE         a rollout's state file (read again when it changes)\n"
    "      --audit FILE         the rollout's audit trail (each controller's history)\n"
    "      --diff OLD.json      show what changed from this older inventory to the current one\n"
    "      --listen ADDR:PORT   where to listen (default 127.0.0.1:8470; port 0: any free port)\n"
    "      --allow-remote       allow an address other than loopback in --listen\n"
    "      --rediscover TIME    take the inventory from the network again every TIME (10s, 5min)\n"
    "  -h, --help               show this help\n"
    "\n"
    "Exit status: 0 stopped by a signal, 2 usage error, unreadable inventory or a port in use.\n";

// Bounds of what one client can take of the server.
constexpr int kMostStreams = 16;                  // event streams at once
constexpr std::size_t kWorkers = 24;              // request threads (the streams hold one each)
constexpr std::size_t kMostBody = 1024;           // a request body (an action word)
constexpr time_t kIoTimeoutS = 10;                // each read or write of a request
constexpr std::size_t kMostHistory = 500;         // audit lines kept per controller
constexpr std::size_t kMostAuditRead = 8u << 20;  // bytes of the trail read per look
constexpr long long kTickMs = 250;                // files looked at, changes batched
constexpr int kKeptBatches = 64;                  // batches a slow stream may catch up on

const char* const kSecurityHeaders[][2] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
     "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
    {"X-Frame-Options", "DENY"},
};

int Usage(const std::string& what) {
  std::fprintf(stderr, "kvplant: %s\nTry 'kvplant serve --help' for more information.\n",
               kvid::Shown(what, false).c_str());
  return kExitUsage;
}

std::string Printed(const cJSON* j) {
  const kv::CMemory<char> text(cJSON_PrintUnformatted(j));
  return text ? std::string(text.get()) : std::string("null");
}

// The page's one-time token: 32 bytes of the kernel's randomness, in hex.
kv::Result<std::string> NewToken() {
  std::array<unsigned char, 32> bytes{};
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::getrandom(bytes.data() + at, bytes.size() - at, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kv::SystemError("getrandom");
    at += static_cast<std::size_t>(n);
  }
  return Hex(bytes.data(), bytes.size());
}

bool SameToken(const std::string& given, const std::string& token) {
  return given.size() == token.size() && CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

// A file's identity and size, to tell when it was replaced or grew.
struct Stamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const std::string& path) {
  Stamp s;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return s;
}

struct Listen {
  std::string host = "127.0.0.1";
  int port = 8470;
  bool loopback = true, wildcard = false, v6 = false;
};

// "ADDRESS:PORT" or "[ADDRESS]:PORT" with a numeric address.
std::optional<Listen> ParseListen(const std::string& text) {
  Listen l;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) return std::nullopt;
    l.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
    l.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  l.port = std::stoi(port);
  if (l.port > 65535) return std::nullopt;
  in_addr a4{};
  in6_addr a6{};
  if (::inet_pton(AF_INET, l.host.c_str(), &a4) == 1) {
    const std::uint32_t h = ntohl(a4.s_addr);
    l.loopback = (h >> 24) == 127;
    l.wildcard = h == 0;
  } else if (::inet_pton(AF_INET6, l.host.c_str(), &a6) == 1) {
    l.v6 = true;
    l.loopback = IN6_IS_ADDR_LOOPBACK(&a6);
    l.wildcard = IN6_IS_ADDR_UNSPECIFIED(&a6);
  } else {
    return std::nullopt;
  }
  return l;
}

bool NumericHost(const std::string& host) {
  in_addr a4{};
  in6_addr a6{};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return ::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a6) == 1;
  return ::inet_pton(AF_INET, host.c_str(), &a4) == 1;
}

// Splits a Host header into host and port ("" when none).
std::pair<std::string, std::string> SplitHost(const std::string& value) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string::npos || (value.find(']') != std::string::npos && colon < value.find(']')))
    return {value, ""};
  return {value.substr(0, colon), value.substr(colon + 1)};
}

// Newer of two revisions in the order people number them (2.10 after 2.9).
bool Older(const std::string& a, const std::string& b) { return ::strverscmp(a.c_str(), b.c_str()) < 0; }

// ---------------------------------------------------------------------------
// The page's model: every controller as a tile (its facts and its view), the
// rollout's summary, the comparison with an older inventory; rebuilt when a
// file changes, its changes published as one batch per tick.
class Model {
 public:
  struct Sources {
    std::string inventory, state, audit, diff;
  };
  explicit Model(Sources s) : src_(std::move(s)) {}

  // Reads what changed since the last look; publishes one batch of every
  // tile and summary that changed. Returns false when the inventory cannot
  // be read at the first look.
  bool Look(bool first);
  // Takes an inventory from the network (--rediscover).
  void Rediscovered(Inventory inventory);

  std::string ModelJson();
  std::string History(const std::string& mac);
  std::optional<std::string> Report(bool csv);
  bool HasState() const { return !src_.state.empty(); }
  const std::string& StatePath() const { return src_.state; }

  // The event stream: waits (at most waitMs) for a batch after `after`;
  // "" on time-out (a keep-alive follows), nullopt when closing.
  std::optional<std::string> Next(std::uint64_t& after, long long waitMs);
  bool Join();
  void Leave();
  void Close();

 private:
  void Rebuild();  // under m_
  void ReadAudit();
  std::string TileJson(const Controller& c, const ControllerState* r, bool behind) const;
  std::string RolloutJson() const;

  Sources src_;
  std::mutex m_;
  std::condition_variable published_;
  Stamp invStamp_, stateStamp_, auditStamp_;
  Inventory inventory_;
  bool rediscovered_ = false;
  std::optional<RolloutState> state_;
  std::string stateError_, inventoryError_;
  std::string diffJson_ = "null";
  std::optional<Inventory> old_;
  std::vector<std::string> order_;            // MACs in inventory order
  std::map<std::string, std::string> tiles_;  // MAC -> tile JSON
  std::string rollout_ = "null";
  std::map<std::string, std::deque<std::string>> history_;  // MAC -> audit lines
  off_t auditRead_ = 0;
  std::string auditTail_;
  std::uint64_t seq_ = 0;
  std::deque<std::pair<std::uint64_t, std::string>> batches_;
  int streams_ = 0;
  bool closing_ = false;
};

std::string Model::TileJson(const Controller& c, const ControllerState* r, bool behind) const {
  const kv::Json t(ControllerJson(c));
  cJSON* o = t.get();
  const ControllerView v = r != nullptr && r->wave != 0 ? ViewOf(*r) : ViewOf(c, behind);
  cJSON_AddStringToObject(o, "kind", v.kind.c_str());
  cJSON_AddStringToObject(o, "words", v.words.c_str());
  cJSON_AddNumberToObject(o, "percent", v.percent);
  if (r != nullptr) {
    cJSON_AddNumberToObject(o, "wave", r->wave);
    cJSON_AddStringToObject(o, "phase", PhaseName(r->phase));
    cJSON_AddStringToObject(o, "reason", r->reason.c_str());
    cJSON_AddStringToObject(o, "what", r->what.c_str());
    cJSON_AddStringToObject(o, "activity", r->activity.c_str());
    cJSON_AddStringToObject(o, "sw_revision_after", r->appAfter.c_str());
    cJSON_AddStringToObject(o, "image_version_after", r->imageAfter.c_str());
    if (r->phase == Phase::kFailed) cJSON_AddStringToObject(o, "last_error", r->reason.c_str());
  }
  return Printed(o);
}

std::string Model::RolloutJson() const {
  if (!state_) return "null";
  const RolloutState& s = *state_;
  const kv::Json j(cJSON_CreateObject());
  cJSON* o = j.get();
  cJSON_AddStringToObject(o, "id", s.id.c_str());
  cJSON_AddStringToObject(o, "started", s.started.c_str());
  cJSON_AddBoolToObject(o, "finished", s.finished);
  cJSON_AddStringToObject(o, "stopped", s.stopped.c_str());
  cJSON_AddBoolToObject(o, "paused", s.paused);
  cJSON_AddStringToObject(o, "control", ControlName(ReadControl(src_.state)));
  cJSON_AddNumberToObject(o, "parallel", s.options.parallel);
  cJSON* files = cJSON_AddArrayToObject(o, "files");
  for (const StateFile& f : s.files) cJSON_AddItemToArray(files, cJSON_CreateString(f.name.c_str()));
  int waves = 0;
  for (const ControllerState& c : s.controllers) waves = std::max(waves, c.wave);
  cJSON* list = cJSON_AddArrayToObject(o, "waves");
  long long spent = 0;
  int timed = 0, left = 0;
  for (int w = 1; w <= waves; ++w) {
    int size = 0, ok = 0, failed = 0, running = 0;
    for (const ControllerState& c : s.controllers) {
      if (c.wave != w) continue;
      ++size;
      ok += c.phase == Phase::kOk;
      failed += c.phase == Phase::kFailed;
      running += c.phase == Phase::kSending || c.phase == Phase::kFollowing;
    }
    cJSON* x = cJSON_CreateObject();
    cJSON_AddNumberToObject(x, "wave", w);
    cJSON_AddNumberToObject(x, "size", size);
    cJSON_AddNumberToObject(x, "ok", ok);
    cJSON_AddNumberToObject(x, "failed", failed);
    cJSON_AddNumberToObject(x, "running", running);
    cJSON_AddNumberToObject(x, "waiting", size - ok - failed - running);
    cJSON_AddItemToArray(list, x);
  }
  cJSON* failures = cJSON_AddArrayToObject(o, "failures");
  for (const ControllerState& c : s.controllers) {
    if (c.wave == 0) continue;
    if (c.endedMs > c.startedMs && c.startedMs > 0) {
      spent += c.endedMs - c.startedMs;
      ++timed;
    }
    if (c.phase == Phase::kWaiting || c.phase == Phase::kSending || c.phase == Phase::kFollowing) ++left;
    if (c.phase != Phase::kFailed) continue;
    cJSON* x = cJSON_CreateObject();
    cJSON_AddStringToObject(x, "mac", c.mac.c_str());
    cJSON_AddStringToObject(x, "address", c.address.c_str());
    cJSON_AddStringToObject(x, "device_name", c.deviceName.c_str());
    cJSON_AddStringToObject(x, "reason", c.reason.c_str());
    cJSON_AddItemToArray(failures, x);
  }
  // Time left: the finished controllers' mean time, for those not finished,
  // --parallel at once. Unknown (-1) until one finished.
  const long long leftMs =
      timed == 0 ? -1
                 : spent / timed * ((left + std::max(1, s.options.parallel) - 1) / std::max(1, s.options.parallel));
  cJSON_AddNumberToObject(o, "left", left);
  cJSON_AddNumberToObject(o, "eta_seconds", static_cast<double>(leftMs < 0 ? -1 : leftMs / 1000));
  return Printed(o);
}

void Model::Rebuild() {
  std::map<std::string, const ControllerState*> inRollout;
  if (state_)
    for (const ControllerState& c : state_->controllers) inRollout[c.mac] = &c;
  // The newest revisions of each platform in the plant: a controller with
  // an older one is behind.
  std::map<std::string, std::pair<std::string, std::string>> newest;
  for (const Controller& c : inventory_.controllers) {
    auto& [app, image] = newest[c.platform];
    if (Older(app, AppRevision(c.swRevision))) app = AppRevision(c.swRevision);
    if (Older(image, c.imageVersion)) image = c.imageVersion;
  }
  std::vector<std::string> order;
  std::map<std::string, std::string> tiles;
  for (const Controller& c : inventory_.controllers) {
    const auto& [app, image] = newest[c.platform];
    const bool behind = Older(AppRevision(c.swRevision), app) || Older(c.imageVersion, image);
    const auto r = inRollout.find(c.mac);
    std::string key = c.mac;
    while (tiles.count(key) != 0) key += "+";  // two interfaces claiming one MAC
    tiles[key] = TileJson(c, r == inRollout.end() ? nullptr : r->second, behind);
    order.push_back(key);
  }
  std::string changed, removed;
  for (const std::string& mac : order)
    if (auto was = tiles_.find(mac); was == tiles_.end() || was->second != tiles[mac])
      changed += (changed.empty() ? "" : ",") + tiles[mac];
  for (const auto& [mac, tile] : tiles_) {
    if (tiles.count(mac) != 0) continue;
    const kv::Json name(cJSON_CreateString(mac.c_str()));
    removed += (removed.empty() ? "" : ",") + Printed(name.get());
  }
  std::string rollout = RolloutJson();
  const bool orderChanged = order != order_;
  const bool rolloutChanged = rollout != rollout_;
  order_ = std::move(order);
  tiles_ = std::move(tiles);
  rollout_ = std::move(rollout);
  std::string diff = "null";
  if (old_) {
    const InventoryDiff d = DiffInventories(*old_, inventory_);
    diff = d.json.empty() ? "null" : d.json;
  }
  const bool diffChanged = diff != diffJson_;
  diffJson_ = std::move(diff);
  if (changed.empty() && removed.empty() && !rolloutChanged && !diffChanged && !orderChanged) return;
  std::string batch =
      "{\"seq\":" + std::to_string(seq_ + 1) + ",\"tiles\":[" + changed + "],\"removed\":[" + removed + "]";
  if (orderChanged) batch += ",\"reorder\":true";
  if (rolloutChanged) batch += ",\"rollout\":" + rollout_;
  if (diffChanged) batch += ",\"diff\":" + diffJson_;
  batch += "}";
  batches_.emplace_back(++seq_, std::move(batch));
  while (batches_.size() > kKeptBatches) batches_.pop_front();
  published_.notify_all();
}

void Model::ReadAudit() {
  const Stamp now = StampOf(src_.audit);
  if (now == auditStamp_) return;
  // Replaced or cut short: read it again from the start.
  if (!now.exists || now.ino != auditStamp_.ino || now.dev != auditStamp_.dev || now.size < auditRead_) {
    history_.clear();
    auditRead_ = 0;
    auditTail_.clear();
  }
  auditStamp_ = now;
  if (!now.exists) return;
  const kv::Fd fd(::open(src_.audit.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::string chunk(std::min<std::size_t>(kMostAuditRead, static_cast<std::size_t>(st.st_size - auditRead_)), '\0');
  const ssize_t n = ::pread(fd.get(), chunk.data(), chunk.size(), auditRead_);
  if (n <= 0) return;
  chunk.resize(static_cast<std::size_t>(n));
  auditRead_ += n;
  auditTail_ += chunk;
  std::size_t start = 0;
  for (std::size_t end; (end = auditTail_.find('\n', start)) != std::string::npos; start = end + 1) {
    const kv::Json line(cJSON_ParseWithLength(auditTail_.data() + start, end - start));
    const cJSON* mac = cJSON_GetObjectItemCaseSensitive(line.get(), "controller");
    if (!cJSON_IsString(mac)) continue;
    std::deque<std::string>& h = history_[mac->valuestring];
    h.push_back(Printed(line.get()));
    if (h.size() > kMostHistory) h.pop_front();
  }
  auditTail_.erase(0, start);
  if (auditTail_.size() > 65536) auditTail_.clear();  // no line is that long: not a trail
}

bool Model::Look(bool first) {
  const Stamp inv = StampOf(src_.inventory), st = StampOf(src_.state);
  std::optional<Inventory> inventory;
  if (!rediscovered_ && !(inv == invStamp_)) {
    auto loaded = LoadInventory(src_.inventory);
    if (!loaded) {
      if (first) {
        std::fprintf(stderr, "kvplant: %s\n", kvid::Shown(loaded.error().message(), false).c_str());
        return false;
      }
      const std::lock_guard<std::mutex> lock(m_);
      inventoryError_ = loaded.error().message();
    } else {
      inventory = std::move(loaded).value();
    }
  }
  std::optional<RolloutState> state;
  std::string stateError;
  const bool stateChanged = !src_.state.empty() && !(st == stateStamp_);
  if (stateChanged && st.exists) {
    auto loaded = LoadState(src_.state);
    if (loaded)
      state = std::move(loaded).value();
    else
      stateError = loaded.error().message();
  }
  if (first && !src_.diff.empty()) {
    auto loaded = LoadInventory(src_.diff);
    if (!loaded) {
      std::fprintf(stderr, "kvplant: %s\n", kvid::Shown(loaded.error().message(), false).c_str());
      return false;
    }
    old_ = std::move(loaded).value();
  }
  const std::lock_guard<std::mutex> lock(m_);
  invStamp_ = inv;
  if (inventory) {
    inventory_ = std::move(*inventory);
    inventoryError_.clear();
  }
  if (stateChanged) {
    stateStamp_ = st;
    // A state replaced while it was read fails to parse; the next look reads
    // the whole new one.
    if (state) {
      state_ = std::move(state);
      stateError_.clear();
    } else if (!st.exists) {
      state_.reset();
    } else {
      stateError_ = stateError;
      stateStamp_ = Stamp{};
    }
  }
  if (!src_.audit.empty()) ReadAudit();
  Rebuild();
  return true;
}

void Model::Rediscovered(Inventory inventory) {
  const std::lock_guard<std::mutex> lock(m_);
  rediscovered_ = true;
  inventory_ = std::move(inventory);
  Rebuild();
}

std::string Model::ModelJson() {
  const std::lock_guard<std::mutex> lock(m_);
  std::string out = "{\"seq\":" + std::to_string(seq_) + ",\"controllers\":[";
  for (std::size_t i = 0; i < order_.size(); ++i) out += (i == 0 ? "" : ",") + tiles_[order_[i]];
  const kv::Json facts(cJSON_CreateObject());
  cJSON_AddStringToObject(facts.get(), "taken", inventory_.taken.c_str());
  cJSON_AddStringToObject(facts.get(), "inventory_error", inventoryError_.c_str());
  cJSON_AddStringToObject(facts.get(), "state_error", stateError_.c_str());
  cJSON_AddBoolToObject(facts.get(), "has_state", !src_.state.empty());
  out += "],\"rollout\":" + rollout_ + ",\"diff\":" + diffJson_ + ",\"plant\":" + Printed(facts.get()) + "}";
  return out;
}

std::string Model::History(const std::string& mac) {
  const std::lock_guard<std::mutex> lock(m_);
  std::string out = "[";
  if (auto h = history_.find(mac); h != history_.end())
    for (std::size_t i = 0; i < h->second.size(); ++i) out += (i == 0 ? "" : ",") + h->second[i];
  return out + "]";
}

std::optional<std::string> Model::Report(bool csv) {
  const std::lock_guard<std::mutex> lock(m_);
  if (!state_) return std::nullopt;
  if (csv) return ReportCsv(*state_);
  const kv::Json report(ReportJson(*state_, false));
  return Printed(report.get());
}

std::optional<std::string> Model::Next(std::uint64_t& after, long long waitMs) {
  std::unique_lock<std::mutex> lock(m_);
  published_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return closing_ || seq_ > after; });
  if (closing_) return std::nullopt;
  if (seq_ <= after) return std::string();
  // Fallen behind the batches kept: the page reads the whole model again.
  if (batches_.empty() || batches_.front().first > after + 1) {
    after = seq_;
    return std::string("event: reset\ndata: {}\n\n");
  }
  std::string out;
  for (const auto& [seq, batch] : batches_)
    if (seq > after) out += "data: " + batch + "\n\n";
  after = seq_;
  return out;
}

bool Model::Join() {
  const std::lock_guard<std::mutex> lock(m_);
  if (closing_ || streams_ >= kMostStreams) return false;
  ++streams_;
  return true;
}

void Model::Leave() {
  const std::lock_guard<std::mutex> lock(m_);
  --streams_;
}

void Model::Close() {
  {
    const std::lock_guard<std::mutex> lock(m_);
    closing_ = true;
  }
  published_.notify_all();
}

struct ServeOptions {
  Model::Sources sources;
  Listen listen;
  bool allowRemote = false;
  long long rediscoverMs = 0;
};

enum : int { kInventory = 256, kState, kAuditOpt, kDiff, kListen, kAllowRemote, kRediscover };

const char* ContentType(std::string_view path) {
  if (path.ends_with(".html")) return "text/html; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

void Refuse(httplib::Response& res, int status, const char* why) {
  res.status = status;
  res.set_content(std::string(why) + "\n", "text/plain; charset=utf-8");
}

}  // namespace

int CmdServe(int argc, char** argv) {
  static const option kLong[] = {{"inventory", required_argument, nullptr, kInventory},
                                 {"state", required_argument, nullptr, kState},
                                 {"audit", required_argument, nullptr, kAuditOpt},
                                 {"diff", required_argument, nullptr, kDiff},
                                 {"listen", required_argument, nullptr, kListen},
                                 {"allow-remote", no_argument, nullptr, kAllowRemote},
                                 {"rediscover", required_argument, nullptr, kRediscover},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  ServeOptions o;
  bool listenGiven = false;
  ::optind = 0;
  ::opterr = 0;
  for (int c; (c = ::getopt_long(argc, argv, ":h", kLong, nullptr)) != -1;) {
    switch (c) {
      case kInventory: o.sources.inventory = optarg; break;
      case kState: o.sources.state = optarg; break;
      case kAuditOpt: o.sources.audit = optarg; break;
      case kDiff: o.sources.diff = optarg; break;
      case kListen: {
        const auto l = ParseListen(optarg);
        if (!l)
          return Usage(std::string("invalid --listen '") + optarg + "': give ADDRESS:PORT with a numeric address");
        o.listen = *l;
        listenGiven = true;
        break;
      }
      case kAllowRemote: o.allowRemote = true; break;
      case kRediscover: {
        const auto ms = kvid::ParseDuration(optarg, 1000, 1000);
        if (!ms) return Usage(std::string("invalid duration '") + optarg + "' for --rediscover");
        o.rediscoverMs = *ms;
        break;
      }
      case 'h': std::fputs(kServeHelp, stdout); return kExitOk;
      case ':': return Usage(std::string("option '") + (optind > 0 ? argv[optind - 1] : "") + "' needs a value");
      default: return Usage(std::string("unknown option '") + (optind > 0 ? argv[optind - 1] : "") + "'");
    }
  }
  if (optind < argc) return Usage(std::string("unexpected argument '") + argv[optind] + "'");
  if (o.sources.inventory.empty()) return Usage("serve needs --inventory FILE.json");
  if (!o.listen.loopback && !(listenGiven && o.allowRemote))
    return Usage("listening on " + o.listen.host + " reaches beyond this machine: give --allow-remote as well");

  auto token = NewToken();
  if (!token) {
    std::fprintf(stderr, "kvplant: %s\n", token.error().message().c_str());
    return kExitUsage;
  }
  Model model(o.sources);
  if (!model.Look(true)) return kExitUsage;

  // Signals are taken by one thread (sigwait) that stops the server; every
  // other thread is started with them blocked.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server.set_payload_max_length(kMostBody);
  server.set_read_timeout(kIoTimeoutS, 0);
  server.set_write_timeout(kIoTimeoutS, 0);
  server.set_keep_alive_max_count(100);
  server.set_keep_alive_timeout(5);
  httplib::Headers headers;
  for (const auto& [name, value] : kSecurityHeaders) headers.emplace(name, value);
  server.set_default_headers(headers);

  const int port = o.listen.port == 0 ? server.bind_to_any_port(o.listen.host)
                                      : (server.bind_to_port(o.listen.host, o.listen.port) ? o.listen.port : -1);
  if (port <= 0) {
    std::fprintf(stderr, "kvplant: cannot listen on %s port %d\n", o.listen.host.c_str(), o.listen.port);
    return kExitUsage;
  }
  const std::string hostPart = o.listen.v6 ? "[" + o.listen.host + "]" : o.listen.host;
  const std::string portText = std::to_string(port);
  const bool remote = !o.listen.loopback;
  const std::string secret = token.value();

  // Every request: its Host must name this server (a page of another site
  // whose name was made to point here is refused), a request from a page
  // must come from this server's own origin, and an action (and, beyond
  // loopback, every read of data) must carry the token.
  server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
    const auto [host, hostPort] = SplitHost(req.get_header_value("Host"));
    bool hostOk = hostPort == portText;
    if (hostOk) {
      if (o.listen.wildcard)
        hostOk = NumericHost(host) || (host == "localhost" && !remote);
      else
        hostOk = host == hostPart || (o.listen.loopback && host == "localhost");
    }
    if (!hostOk) {
      Refuse(res, 403, "this server answers only to its own address");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
      Refuse(res, 403, "requests from another site are refused");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") {
      Refuse(res, 403, "requests from another site are refused");
      return httplib::Server::HandlerResponse::Handled;
    }
    const bool data = req.path.starts_with("/api/");
    if ((req.method != "GET" && req.method != "HEAD") || (remote && data)) {
      if (!SameToken(req.get_header_value("X-Kvplant-Token"), secret)) {
        Refuse(res, 403, "the page's token is missing or wrong");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  for (std::size_t i = 0; i < kWebFileCount; ++i) {
    const WebFile& f = kWebFiles[i];
    auto serveFile = [&f](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(f.data), f.size, ContentType(f.path));
    };
    server.Get(f.path, serveFile);
    if (std::string_view(f.path) == "/index.html") server.Get("/", serveFile);
  }
  server.Get("/api/model", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(model.ModelJson(), "application/json");
  });
  server.Get("/api/history", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content(model.History(req.get_param_value("mac")), "application/json");
  });
  server.Get("/api/report.json", [&](const httplib::Request&, httplib::Response& res) {
    const auto r = model.Report(false);
    if (!r) return Refuse(res, 404, "no rollout");
    res.set_header("Content-Disposition", "attachment; filename=\"kvplant-report.json\"");
    res.set_content(*r, "application/json");
  });
  server.Get("/api/report.csv", [&](const httplib::Request&, httplib::Response& res) {
    const auto r = model.Report(true);
    if (!r) return Refuse(res, 404, "no rollout");
    res.set_header("Content-Disposition", "attachment; filename=\"kvplant-report.csv\"");
    res.set_content(*r, "text/csv; charset=utf-8");
  });
  server.Get("/api/events", [&](const httplib::Request& req, httplib::Response& res) {
    if (!model.Join()) return Refuse(res, 503, "too many event streams");
    std::uint64_t after = 0;
    const std::string from = req.get_param_value("after");
    if (!from.empty() && from.size() < 20 && from.find_first_not_of("0123456789") == std::string::npos)
      after = std::stoull(from);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&model, after](std::size_t, httplib::DataSink& sink) mutable {
          const auto next = model.Next(after, 15000);
          if (!next) {
            sink.done();
            return true;
          }
          const std::string out = next->empty() ? std::string(": keep-alive\n\n") : *next;
          return sink.write(out.data(), out.size());
        },
        [&model](bool) { model.Leave(); });
  });
  server.Post("/api/control", [&](const httplib::Request& req, httplib::Response& res) {
    if (!model.HasState()) return Refuse(res, 409, "no rollout state is shown (--state)");
    std::string word = req.body;
    while (!word.empty() && (word.back() == '\n' || word.back() == ' ')) word.pop_back();
    Control c;
    if (word == "pause")
      c = Control::kPause;
    else if (word == "run")
      c = Control::kRun;
    else if (word == "stop")
      c = Control::kStop;
    else
      return Refuse(res, 400, "the action is pause, run or stop");
    if (auto w = WriteControl(model.StatePath(), c); !w) return Refuse(res, 500, "cannot write the control file");
    res.set_content(std::string("{\"control\":\"") + ControlName(c) + "\"}", "application/json");
  });

  std::printf("http://%s:%d/#token=%s\n", hostPart.c_str(), port, secret.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "kvplant: serving the plant's page; open the address above (Ctrl-C stops)\n");

  std::atomic<bool> done{false};
  std::thread looker([&] {
    while (!done.load()) {
      timespec ts{0, kTickMs * 1000000L};
      ::nanosleep(&ts, nullptr);
      (void)model.Look(false);
    }
  });
  std::thread rediscoverer;
  std::mutex waitM;
  std::condition_variable waitCv;
  if (o.rediscoverMs > 0) {
    rediscoverer = std::thread([&] {
      for (;;) {
        {
          std::unique_lock<std::mutex> lock(waitM);
          if (waitCv.wait_for(lock, std::chrono::milliseconds(o.rediscoverMs), [&] { return done.load(); })) return;
        }
        kvid::DiscoverRequest request;
        auto found = DiscoverPlant(request, [](const std::string&) {});
        if (found) model.Rediscovered(std::move(found).value());
      }
    });
  }
  std::thread stopper([&] {
    int sig = 0;
    (void)::sigwait(&stops, &sig);
    done.store(true);
    waitCv.notify_all();
    model.Close();
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  if (!done.load()) {
    // The server ended by itself: stop the helper threads as a signal would.
    ::pthread_kill(stopper.native_handle(), SIGTERM);
  }
  stopper.join();
  looker.join();
  if (rediscoverer.joinable()) rediscoverer.join();
  return listened || done.load() ? kExitOk : kExitUsage;
}

}  // namespace kvplant
