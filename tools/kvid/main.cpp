// kvid: finds controllers and reads their identity, update status and network
// record over the identification protocol (UDP port 20034).
#include <getopt.h>
#include <net/if.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "idprot/idiface.h"
#include "kvid/kvid.h"

namespace {

// Default waits: a discovery waits for the spread answers of a multicast
// request (up to 1 s) and a settings refresh (up to 1 s more) with a margin;
// a single controller answers a unicast request at once, or after the
// refresh.
constexpr int kDiscoverWaitMs = 4000;
constexpr int kAnswerWaitMs = 2000;

constexpr const char* kUsage =
    "usage: kvid discover [-i IFACE] [-a ADDRESS]... [-t MS] [--json]\n"
    "       kvid status ADDRESS [-i IFACE] [-t MS] [--json] [--follow [--interval MS] [--give-up S]]\n"
    "       kvid netbr ADDRESS [-i IFACE] [-t MS]\n"
    "\n"
    "  discover  asks every controller on IFACE (multicast group ff05::5a:5157) and at each\n"
    "            ADDRESS, and prints one line per controller: address, device, software\n"
    "            revision, image version, application state (tab-separated); --json prints\n"
    "            the identification documents instead\n"
    "  status    prints a controller's update status; --follow refreshes a progress line\n"
    "            until two answers in a row say the update ended the same way\n"
    "  netbr     prints a controller's network record field by field\n"
    "\n"
    "  -i, --interface IFACE  interface for multicast and link-local addresses\n"
    "  -a, --address ADDRESS  also ask this controller directly (IPv4 or IPv6)\n"
    "  -t, --timeout MS       how long to wait for answers: discover (default 4000) waits it\n"
    "                         out, as controllers spread their answers to a multicast request\n"
    "                         over up to 1 s, may take 1 s more to read their settings, and\n"
    "                         are asked again by their cookie; the request goes out twice;\n"
    "                         status and netbr wait at most that long (default 2000) per request\n"
    "  -p, --port PORT        the controllers' port (default 20034)\n"
    "      --json             print the documents (parsed and written again, one line per\n"
    "                         controller for discover)\n"
    "      --follow           (status) follow an update until it ends\n"
    "      --interval MS      (status --follow) time between two requests (default 1000)\n"
    "      --give-up S        (status --follow) stop after S seconds without an answer (default 60)\n"
    "\n"
    "exit status: 0 ok, 1 no answer, 2 usage error or unknown interface, 3 malformed answer\n"
    "             (discover: every answer was), 4 the followed update failed\n";

// The fixed parts of the requests; the extension follows them.
constexpr std::string_view kIdrequest("IDREQ\0", 6);
constexpr std::string_view kStatusRequest("IDUPDATESTATUS\0", 15);

struct Options {
  std::string command, address, interface;
  std::vector<std::string> addresses;
  unsigned interfaceIndex = 0;
  int timeoutMs = -1, port = kIdPort, intervalMs = 1000, giveUpS = 60;
  bool json = false, follow = false;
};

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "kvid: %s\n", message.c_str());
  return status;
}

bool Number(const char* text, int min, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0) {
  }
}

// The reason a controller's answer is refused, as printed.
std::string Malformed(const std::string& from, const std::string& reason) {
  return "malformed answer from " + from + ": " + reason;
}

// --- discover ---------------------------------------------------------------

// One answering address of a discovery.
struct Found {
  kvid::Peer peer;
  kvid::Nonce nonce{};    // of our unicast request to it (after its cookie answer)
  int resends = 0;        // unicast requests sent to it
  bool done = false;      // its answer was printed
  bool reported = false;  // a malformed answer of it was reported
};

using AddressKey = std::array<std::uint8_t, 16>;

AddressKey KeyOf(const sockaddr_in6& a) {
  AddressKey k{};
  std::memcpy(k.data(), a.sin6_addr.s6_addr, k.size());
  return k;
}

int Discover(const Options& o) {
  std::vector<kvid::Target> targets;
  if (o.interfaceIndex != 0) {
    auto group = kvid::MakeTarget(kIdMulticastGroup, o.interfaceIndex, o.port);
    if (group) targets.push_back(std::move(group).value());
  }
  for (const std::string& a : o.addresses) {
    auto t = kvid::MakeTarget(a, o.interfaceIndex, o.port);
    if (!t) return Fail(kvid::kExitUsage, t.error().message());
    targets.push_back(std::move(t).value());
  }
  if (targets.empty()) return Fail(kvid::kExitUsage, "give an interface (-i) or an address (-a) to ask");
  auto opened = kvid::OpenSocket(o.interfaceIndex, true);
  if (!opened) return Fail(kvid::kExitUsage, opened.error().message());
  const kv::Fd fd = std::move(opened).value();
  const std::uint16_t port = targets.front().address.sin6_port;

  // The first request carries a zero cookie: every controller that speaks the
  // extension answers with its cookie, an old one with its document.
  const kvid::Nonce first = kvid::NewNonce();
  for (const kvid::Target& t : targets) kvid::Send(fd, t.address, kvid::ExtendedRequest(kIdrequest, {}, first));

  std::map<AddressKey, Found> found;
  bool full = false;
  int good = 0, malformed = 0;
  const long long deadline = kvid::NowMs() + o.timeoutMs;
  // A datagram may be lost (a full queue on a crowded segment, a cookie
  // budget spent by a flood): the first request goes out once more, to the
  // group and to every address asked that has not answered, a third of the
  // way through the wait. Controllers that answered the first pass the
  // second answer over here.
  long long resendAt = kvid::NowMs() + o.timeoutMs / 3;
  kvid::Datagram d;
  for (;;) {
    if (!kvid::Receive(fd, resendAt != 0 && resendAt < deadline ? resendAt : deadline, d)) {
      if (resendAt == 0 || kvid::NowMs() >= deadline) break;
      resendAt = 0;
      for (const kvid::Target& t : targets) {
        const auto at = found.find(KeyOf(t.address));
        if (at == found.end() || !at->second.done)
          kvid::Send(fd, t.address, kvid::ExtendedRequest(kIdrequest, {}, first));
      }
      continue;
    }
    if (d.from.sin6_port != port) continue;
    const AddressKey key = KeyOf(d.from);
    auto it = found.find(key);
    if (it == found.end()) {
      if (found.size() >= kvid::kMaxControllers) {
        if (!full) std::fprintf(stderr, "kvid: %zu controllers answered; further ones are passed over\n", found.size());
        full = true;
        continue;
      }
      it = found.emplace(key, Found{}).first;
    }
    Found& f = it->second;
    if (f.done) continue;  // asked by multicast and directly, or a duplicate
    const std::string from = kvid::AddressText(d.from);
    auto report = [&](const std::string& reason) {
      if (!f.reported) std::fprintf(stderr, "kvid: %s\n", Malformed(from, reason).c_str());
      f.reported = true;
      ++malformed;
    };
    if (d.size > kvid::kMaxAnswerBytes) {
      report("answer of " + std::to_string(d.size) + " bytes, longer than " + std::to_string(kvid::kMaxAnswerBytes));
      continue;
    }
    if (const auto cookie = kvid::DecodeCookieAnswer(d.data)) {
      // The first request's nonce before we asked it directly, its own after.
      const bool fresh = f.resends == 0 ? cookie->nonce == first : cookie->nonce == f.nonce;
      if (!fresh || f.resends >= 2) continue;
      f.peer.cookie = cookie->cookie;
      f.peer.extended = true;
      f.nonce = kvid::NewNonce();
      ++f.resends;
      sockaddr_in6 to = d.from;
      to.sin6_port = port;
      kvid::Send(fd, to, kvid::ExtendedRequest(kIdrequest, f.peer.cookie, f.nonce));
      continue;
    }
    const auto id = kvid::DecodeIdentity(d.data);
    if (!id) {
      report(id.error().message());
      continue;
    }
    // A document with a nonce answers our direct request with its cookie;
    // one without can only come from a controller that never sent a cookie.
    if ((f.resends == 0 && id.value().nonce) ||
        kvid::JudgeNonce(id.value().nonce, f.nonce, f.peer) == kvid::Freshness::kStale)
      continue;
    f.done = true;
    ++good;
    std::printf("%s\n", o.json ? id.value().json.c_str() : kvid::IdentityLine(from, id.value()).c_str());
    std::fflush(stdout);
  }
  if (good > 0) return kvid::kExitOk;
  if (malformed > 0) return kvid::kExitMalformed;
  return Fail(kvid::kExitNoAnswer, "no answer within " + std::to_string(o.timeoutMs) + " ms");
}

// --- status and netbr -------------------------------------------------------

// The outcome of one exchange as an exit status; -1 when an answer was taken.
int Unanswered(const Options& o, const kv::Result<kvid::Outcome>& r) {
  if (!r) return Fail(kvid::kExitUsage, r.error().message());
  if (r.value().answer) return -1;
  if (!r.value().malformed.empty()) return Fail(kvid::kExitMalformed, Malformed(o.address, r.value().malformed));
  return Fail(kvid::kExitNoAnswer, "no answer from " + o.address + " within " + std::to_string(o.timeoutMs) + " ms");
}

// What the follow has accepted so far.
struct Followed {
  std::optional<kvid::Status> last;  // the last accepted answer
  bool lastVerified = false;         // it carried its poll's nonce
  bool takenVerified = false;        // the answer of this poll did
};

// Judges a status answer of one poll: decoded, with the poll's nonce (when
// the controller echoes them), and, across polls, a msgSeqNumber beyond the
// last accepted one; a number that went back is a restarted daemon only when
// the answer carries the poll's nonce.
kvid::Judge StatusJudge(kvid::Peer& peer, Followed& followed, std::optional<kvid::Status>& taken) {
  return [&peer, &followed, &taken](std::string_view answer, const kvid::Nonce& asked) -> kvid::Judged {
    auto s = kvid::DecodeStatus(answer);
    if (!s) return {kvid::Verdict::kMalformed, s.error().message()};
    const kvid::Freshness fresh = kvid::JudgeNonce(s.value().nonce, asked, peer);
    if (fresh == kvid::Freshness::kStale) return {};
    if (followed.last && s.value().sequence <= followed.last->sequence &&
        !(fresh == kvid::Freshness::kVerified && s.value().sequence < followed.last->sequence))
      return {};
    if (fresh == kvid::Freshness::kVerified) peer.extended = true;
    followed.takenVerified = fresh == kvid::Freshness::kVerified;
    taken = std::move(s).value();
    return {kvid::Verdict::kTake, {}};
  };
}

int Status(const Options& o, const kvid::Target& t) {
  kvid::Peer peer;
  Followed followed;
  std::optional<kvid::Status> taken;
  const kvid::Judge judge = StatusJudge(peer, followed, taken);
  if (!o.follow) {
    const auto r = kvid::Exchange(t, o.interfaceIndex, kStatusRequest, peer, o.timeoutMs, judge);
    if (const int end = Unanswered(o, r); end >= 0) return end;
    std::fputs(o.json ? (taken->json + "\n").c_str() : kvid::StatusReport(o.address, *taken).c_str(), stdout);
    return kvid::kExitOk;
  }
  // Follow: a refreshed line on a terminal, one line per change otherwise.
  // Every poll asks from a fresh socket with a fresh nonce; an update counts
  // as ended only when two answers in a row say it ended the same way.
  const bool tty = ::isatty(STDOUT_FILENO) == 1;
  std::string last, malformed;
  long long lastAnswer = kvid::NowMs();
  auto finished = [tty](const kvid::Status& s) {
    if (tty) std::fputs("\n", stdout);
    if (kvid::UpdateSucceeded(s)) {
      std::printf("update finished: %s\n", s.action.c_str());
      return kvid::kExitOk;
    }
    std::printf("update failed: %s (%d), %s\n", s.error.c_str(), s.errorNumber, s.action.c_str());
    return kvid::kExitUpdateFailed;
  };
  // A controller that said, with the poll's own nonce, that its image is
  // installed and it restarts may be gone before a second answer: its
  // silence, or its daemon answering again after the restart, confirms it.
  auto restarting = [&followed] {
    return followed.last && followed.lastVerified && kvid::UpdateEnded(*followed.last) &&
           kvid::UpdateSucceeded(*followed.last);
  };
  for (;;) {
    taken.reset();
    followed.takenVerified = false;
    const auto r = kvid::Exchange(t, o.interfaceIndex, kStatusRequest, peer, o.timeoutMs, judge);
    if (!r) return Fail(kvid::kExitUsage, r.error().message());
    if (!taken && restarting()) return finished(*followed.last);
    if (taken && restarting() && taken->sequence < followed.last->sequence) return finished(*followed.last);
    if (!taken) {
      if (!r.value().malformed.empty()) malformed = r.value().malformed;
      if (kvid::NowMs() - lastAnswer >= static_cast<long long>(o.giveUpS) * 1000) {
        if (tty && !last.empty()) std::fputs("\n", stdout);
        if (!malformed.empty()) return Fail(kvid::kExitMalformed, Malformed(o.address, malformed));
        return Fail(kvid::kExitNoAnswer, "no answer from " + o.address + " for " + std::to_string(o.giveUpS) + " s");
      }
    } else {
      lastAnswer = kvid::NowMs();
      malformed.clear();
      const kvid::Status& s = *taken;
      const std::string line = kvid::ProgressLine(s);
      if (tty) {
        std::printf("\r%-100s", line.c_str());
      } else if (line != last) {
        std::printf("%s\n", line.c_str());
      }
      last = line;
      std::fflush(stdout);
      const bool ended = followed.last && kvid::SameEnding(*followed.last, s);
      followed.last = s;
      followed.lastVerified = followed.takenVerified;
      if (ended) return finished(s);
    }
    SleepMs(o.intervalMs);
  }
}

int Netbr(const Options& o, const kvid::Target& t) {
  kvid::Peer peer;
  std::optional<kvid::NetworkRecord> taken;
  // The record has no room for a nonce: the address and port asked and the
  // cookie exchange are what make it the controller's answer.
  const kvid::Judge judge = [&taken](std::string_view answer, const kvid::Nonce&) -> kvid::Judged {
    auto r = kvid::DecodeNetworkRecord(answer);
    if (!r) return {kvid::Verdict::kMalformed, r.error().message()};
    taken = std::move(r).value();
    return {kvid::Verdict::kTake, {}};
  };
  const auto r = kvid::Exchange(t, o.interfaceIndex, std::string_view("BURNR\0", 6), peer, o.timeoutMs, judge);
  if (const int end = Unanswered(o, r); end >= 0) return end;
  std::fputs(kvid::NetworkReport(o.address, r.value().answer->size(), *taken).c_str(), stdout);
  return kvid::kExitOk;
}

// Applies one option; returns -1 to go on or the exit status to end with.
int ApplyOption(int c, Options& o) {
  switch (c) {
    case 'i': o.interface = optarg; return -1;
    case 'a': o.addresses.emplace_back(optarg); return -1;
    case 't': return Number(optarg, 1, o.timeoutMs) ? -1 : Fail(kvid::kExitUsage, "bad timeout");
    case 'p': return Number(optarg, 1, o.port) && o.port <= 65535 ? -1 : Fail(kvid::kExitUsage, "bad port");
    case 'j': o.json = true; return -1;
    case 'f': o.follow = true; return -1;
    case 'n': return Number(optarg, 1, o.intervalMs) ? -1 : Fail(kvid::kExitUsage, "bad interval");
    case 'g': return Number(optarg, 1, o.giveUpS) ? -1 : Fail(kvid::kExitUsage, "bad give-up time");
    case 'h': std::fputs(kUsage, stdout); return kvid::kExitOk;
    default: std::fputs(kUsage, stderr); return kvid::kExitUsage;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  static const option kLong[] = {{"interface", required_argument, nullptr, 'i'},
                                 {"address", required_argument, nullptr, 'a'},
                                 {"timeout", required_argument, nullptr, 't'},
                                 {"port", required_argument, nullptr, 'p'},
                                 {"json", no_argument, nullptr, 'j'},
                                 {"follow", no_argument, nullptr, 'f'},
                                 {"interval", required_argument, nullptr, 'n'},
                                 {"give-up", required_argument, nullptr, 'g'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  // Options may come before, between and after the command and its address.
  std::vector<std::string> words;
  for (;;) {
    int c;
    while ((c = ::getopt_long(argc, argv, "+i:a:t:p:h", kLong, nullptr)) != -1) {
      const int end = ApplyOption(c, o);
      if (end >= 0) return end;
    }
    if (optind >= argc) break;
    words.emplace_back(argv[optind++]);
  }
  if (words.empty()) {
    std::fputs(kUsage, stderr);
    return kvid::kExitUsage;
  }
  o.command = words[0];
  const bool single = o.command == "status" || o.command == "netbr";
  if (!(o.command == "discover" && words.size() == 1) && !(single && words.size() == 2)) {
    std::fputs(kUsage, stderr);
    return kvid::kExitUsage;
  }
  if (!o.interface.empty()) {
    o.interfaceIndex = ::if_nametoindex(o.interface.c_str());
    if (o.interfaceIndex == 0) return Fail(kvid::kExitUsage, "unknown interface '" + o.interface + "'");
  }
  if (o.command == "discover") {
    if (o.timeoutMs < 0) o.timeoutMs = kDiscoverWaitMs;
    return Discover(o);
  }
  if (o.timeoutMs < 0) o.timeoutMs = kAnswerWaitMs;
  o.address = words[1];
  const auto t = kvid::MakeTarget(o.address, o.interfaceIndex, o.port);
  if (!t) return Fail(kvid::kExitUsage, t.error().message());
  return o.command == "status" ? Status(o, t.value()) : Netbr(o, t.value());
}
