// kvid: finds controllers and reads their identity, update status and network
// record over the identification protocol (UDP port 20034).
#include <getopt.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "idprot/idserver.h"
#include "kvid/kvid.h"

namespace {

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
    "            until the update ends\n"
    "  netbr     prints a controller's network record field by field\n"
    "\n"
    "  -i, --interface IFACE  interface for multicast and link-local addresses\n"
    "  -a, --address ADDRESS  also ask this controller directly (IPv4 or IPv6)\n"
    "  -t, --timeout MS       how long to wait for answers (default 2000)\n"
    "  -p, --port PORT        the controllers' port (default 20034)\n"
    "      --json             print the documents as they came\n"
    "      --follow           (status) follow an update until it ends\n"
    "      --interval MS      (status --follow) time between two requests (default 1000)\n"
    "      --give-up S        (status --follow) stop after S seconds without an answer (default 60)\n"
    "\n"
    "exit status: 0 ok, 1 no answer, 2 usage error or unknown interface, 3 malformed answer,\n"
    "             4 the followed update failed\n";

struct Options {
  std::string command, address, interface;
  std::vector<std::string> addresses;
  unsigned interfaceIndex = 0;
  int timeoutMs = 2000, port = kIdPort, intervalMs = 1000, giveUpS = 60;
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
std::string Malformed(const std::string& from, const kv::Error& error) {
  return error.WithContext("malformed answer from " + from).message();
}

int Discover(const Options& o, const kv::Fd& fd) {
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
  const auto answers = kvid::Ask(fd, targets, std::string_view("IDREQ\0", 6), o.timeoutMs, 0, kvid::From::kPort);
  std::set<std::string> seen;
  bool malformed = false;
  int good = 0;
  for (const kvid::Answer& a : answers) {
    if (!seen.insert(a.from).second) continue;  // asked by multicast and directly
    const auto id = kvid::DecodeIdentity(a.data);
    if (!id) {
      std::fprintf(stderr, "kvid: %s\n", Malformed(a.from, id.error()).c_str());
      malformed = true;
      continue;
    }
    ++good;
    std::printf("%s\n", o.json ? id.value().json.c_str() : kvid::IdentityLine(a.from, id.value()).c_str());
  }
  if (malformed) return kvid::kExitMalformed;
  if (good == 0) return Fail(kvid::kExitNoAnswer, "no answer within " + std::to_string(o.timeoutMs) + " ms");
  return kvid::kExitOk;
}

// One request to the single controller; its answer (from the address and
// port asked, nobody else's), or empty.
std::string AskOne(const Options& o, const kv::Fd& fd, const kvid::Target& t, std::string_view request) {
  const auto answers = kvid::Ask(fd, {t}, request, o.timeoutMs, 1, kvid::From::kTargets);
  return answers.empty() ? std::string() : answers.front().data;
}

int Status(const Options& o, const kv::Fd& fd, const kvid::Target& t) {
  if (!o.follow) {
    const std::string answer = AskOne(o, fd, t, "IDUPDATESTATUS");
    if (answer.empty())
      return Fail(kvid::kExitNoAnswer,
                  "no answer from " + o.address + " within " + std::to_string(o.timeoutMs) + " ms");
    const auto s = kvid::DecodeStatus(answer);
    if (!s) return Fail(kvid::kExitMalformed, Malformed(o.address, s.error()));
    std::fputs(o.json ? (s.value().json + "\n").c_str() : kvid::StatusReport(o.address, s.value()).c_str(), stdout);
    return kvid::kExitOk;
  }
  // Follow: a refreshed line on a terminal, one line per change otherwise.
  const bool tty = ::isatty(STDOUT_FILENO) == 1;
  std::string last;
  time_t lastAnswer = std::time(nullptr);
  for (;;) {
    const std::string answer = AskOne(o, fd, t, "IDUPDATESTATUS");
    if (answer.empty()) {
      if (std::time(nullptr) - lastAnswer >= o.giveUpS) {
        if (tty && !last.empty()) std::fputs("\n", stdout);
        return Fail(kvid::kExitNoAnswer, "no answer from " + o.address + " for " + std::to_string(o.giveUpS) + " s");
      }
    } else {
      lastAnswer = std::time(nullptr);
      const auto decoded = kvid::DecodeStatus(answer);
      if (!decoded) {
        if (tty && !last.empty()) std::fputs("\n", stdout);
        return Fail(kvid::kExitMalformed, Malformed(o.address, decoded.error()));
      }
      const kvid::Status& s = decoded.value();
      const std::string line = kvid::ProgressLine(s);
      if (tty) {
        std::printf("\r%-100s", line.c_str());
      } else if (line != last) {
        std::printf("%s\n", line.c_str());
      }
      last = line;
      std::fflush(stdout);
      if (kvid::UpdateEnded(s)) {
        if (tty) std::fputs("\n", stdout);
        if (kvid::UpdateSucceeded(s)) {
          std::printf("update finished: %s\n", s.action.c_str());
          return kvid::kExitOk;
        }
        std::printf("update failed: %s (%d), %s\n", s.error.c_str(), s.errorNumber, s.action.c_str());
        return kvid::kExitUpdateFailed;
      }
    }
    SleepMs(o.intervalMs);
  }
}

int Netbr(const Options& o, const kv::Fd& fd, const kvid::Target& t) {
  const std::string answer = AskOne(o, fd, t, std::string_view("BURNR\0", 6));
  if (answer.empty())
    return Fail(kvid::kExitNoAnswer, "no answer from " + o.address + " within " + std::to_string(o.timeoutMs) + " ms");
  const auto r = kvid::DecodeNetworkRecord(answer);
  if (!r) return Fail(kvid::kExitMalformed, Malformed(o.address, r.error()));
  std::fputs(kvid::NetworkReport(o.address, answer.size(), r.value()).c_str(), stdout);
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
  const auto fd = kvid::OpenSocket(o.interfaceIndex);
  if (!fd) return Fail(kvid::kExitUsage, fd.error().message());
  if (o.command == "discover") return Discover(o, fd.value());
  o.address = words[1];
  const auto t = kvid::MakeTarget(o.address, o.interfaceIndex, o.port);
  if (!t) return Fail(kvid::kExitUsage, t.error().message());
  return o.command == "status" ? Status(o, fd.value(), t.value()) : Netbr(o, fd.value(), t.value());
}
