// kvid: finds controllers and reads their identity, update status and network
// record over the identification protocol (UDP port 20034).
#include <getopt.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
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
// How long --follow waits without an answer it accepted; with
// --through-reboot the controller's restart (boot, start of the daemon) is
// part of the wait.
constexpr int kGiveUpMs = 60 * 1000;
constexpr int kRebootGiveUpMs = 300 * 1000;

struct Options {
  std::string command, address, interface;
  std::vector<std::string> addresses;
  unsigned interfaceIndex = 0;
  int family = AF_UNSPEC;
  int timeoutMs = -1, port = kIdPort, intervalMs = 1000, giveUpMs = -1;
  bool json = false, follow = false, throughReboot = false, noHeader = false, quiet = false;
};

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "kvid: %s\n", message.c_str());
  return status;
}

// The reason a controller's answer is refused, as printed.
std::string Malformed(const std::string& from, const std::string& reason) {
  return "malformed answer from " + from + ": " + reason;
}

// --- discover ---------------------------------------------------------------

// Prints each controller interface as it is found, and each malformed
// answer on standard error (unless quiet).
int Discover(const Options& o) {
  kvid::DiscoverRequest request;
  if (o.interfaceIndex != 0) {
    request.interfaces.push_back(o.interfaceIndex);
    request.interfaceNames.push_back(o.interface);
  }
  request.addresses = o.addresses;
  request.family = o.family;
  request.timeoutMs = o.timeoutMs;
  request.port = o.port;
  bool header = !o.json && !o.noHeader && !o.quiet;
  const auto found = kvid::Discover(
      request,
      [&](const kvid::Discovered& c) {
        if (header) std::printf("%s\n", kvid::kIdentityHeader);
        header = false;
        std::printf("%s\n", o.json ? c.id.json.c_str() : kvid::IdentityLine(c.from, c.id).c_str());
        std::fflush(stdout);
      },
      [&](const std::string& note) {
        if (!o.quiet) std::fprintf(stderr, "kvid: %s\n", note.c_str());
      });
  if (!found) return Fail(kvid::kExitUsage, found.error().message());
  if (!found.value().controllers.empty()) return kvid::kExitOk;
  if (found.value().malformed > 0) return kvid::kExitMalformed;
  return Fail(kvid::kExitNoAnswer, "no answer within " + std::to_string(o.timeoutMs) + " ms");
}

// --- status and netbr -------------------------------------------------------

// The controller of status and netbr, and how it is asked.
using Controller = kvid::Controller;

kvid::FollowOptions Asking(const Options& o) {
  kvid::FollowOptions f;
  f.interfaceIndex = o.interfaceIndex;
  f.timeoutMs = o.timeoutMs;
  f.intervalMs = o.intervalMs;
  f.giveUpMs = o.giveUpMs;
  f.throughReboot = o.throughReboot;
  return f;
}

kv::Result<kvid::Asked> Ask(const Options& o, Controller& c, std::string_view fixedPart,
                            const std::function<kvid::Judge(kvid::Peer&)>& judgeFor) {
  return kvid::Ask(Asking(o), c, fixedPart, judgeFor);
}

// The outcome of one round as an exit status; -1 when an answer was taken.
int Unanswered(const Options& o, const Controller& c, const kv::Result<kvid::Asked>& r) {
  if (!r) return Fail(kvid::kExitUsage, r.error().message());
  if (r.value().taken) return -1;
  if (!r.value().malformed.empty())
    return Fail(kvid::kExitMalformed, Malformed(r.value().malformedFrom, r.value().malformed));
  return Fail(kvid::kExitNoAnswer, "no answer from " + c.ShownAll() + " within " + std::to_string(o.timeoutMs) + " ms" +
                                       (c.targets.size() > 1 ? " each" : ""));
}

// What a followed status prints and how often: a refreshed line on a
// terminal, else a line per change of progress, action or error (the elapsed
// seconds change at every poll and are no change).
class Progress {
 public:
  explicit Progress(bool quiet) : tty_(::isatty(STDOUT_FILENO) == 1), quiet_(quiet) {}

  void Show(const kvid::Status& s) {
    if (quiet_) return;
    const std::string line = kvid::ProgressLine(s);
    const std::string change =
        std::to_string(s.totalProgress) + '\n' + s.action + '\n' + std::to_string(s.errorNumber) + '\n' + s.error;
    if (tty_) {
      std::printf("\r%-100s", line.c_str());
      open_ = true;
    } else if (change != lastChange_) {
      std::printf("%s\n", line.c_str());
    }
    lastChange_ = change;
    std::fflush(stdout);
  }

  // Ends the refreshed line before other output.
  void Close() {
    if (open_) std::fputs("\n", stdout);
    open_ = false;
  }

 private:
  bool tty_, quiet_, open_ = false;
  std::string lastChange_;
};

int Follow(const Options& o, Controller& c) {
  Progress progress(o.quiet);
  kvid::FollowSink sink;
  sink.progress = [&progress](const kvid::Status& s) { progress.Show(s); };
  sink.say = [&progress](const std::string& line) {
    progress.Close();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  const kvid::FollowEnd end = kvid::Follow(Asking(o), c, sink);
  progress.Close();
  if (!end.error.empty()) return Fail(end.status, end.error);
  return end.status;
}

int Status(const Options& o, Controller& c) {
  if (o.follow) return Follow(o, c);
  kvid::Followed followed;
  std::optional<kvid::Status> taken;
  const auto r = Ask(o, c, kvid::kStatusRequest, [&](kvid::Peer& p) { return kvid::StatusJudge(p, followed, taken); });
  if (const int end = Unanswered(o, c, r); end >= 0) return end;
  std::fputs(o.json ? (taken->json + "\n").c_str() : kvid::StatusReport(c.Shown(c.chosen), *taken).c_str(), stdout);
  return kvid::kExitOk;
}

int Netbr(const Options& o, Controller& c) {
  std::optional<kvid::NetworkRecord> taken;
  // The record has no room for a nonce: the address and port asked and the
  // cookie exchange are what make it the controller's answer.
  const auto judgeFor = [&taken](kvid::Peer&) -> kvid::Judge {
    return [&taken](std::string_view answer, const kvid::Nonce&) -> kvid::Judged {
      auto r = kvid::DecodeNetworkRecord(answer);
      if (!r) return {kvid::Verdict::kMalformed, r.error().message()};
      taken = std::move(r).value();
      return {kvid::Verdict::kTake, {}};
    };
  };
  const auto r = Ask(o, c, std::string_view("BURNR\0", 6), judgeFor);
  if (const int end = Unanswered(o, c, r); end >= 0) return end;
  const std::string who = c.Shown(c.chosen);
  std::fputs(o.json ? (kvid::NetworkJson(who, r.value().size, *taken) + "\n").c_str()
                    : kvid::NetworkReport(who, r.value().size, *taken).c_str(),
             stdout);
  return kvid::kExitOk;
}

// --- command line -------------------------------------------------------------

#ifndef KV_PROJECT_VERSION
#define KV_PROJECT_VERSION "unknown"
#endif

enum Command : unsigned { kDiscover = 1, kStatus = 2, kNetbr = 4, kAll = 7 };

struct CommandSpec {
  const char* name;
  Command bit;
  const char* synopsis;
  const char* help;
};

constexpr CommandSpec kCommands[] = {
    {"discover", kDiscover,
     "kvid discover [-i IFACE] [-a ADDRESS]... [-4|-6] [-t TIME] [--json]\n"
     "                     [-H] [-q]",
     "asks every controller on IFACE (IPv6 multicast group\n"
     "ff05::5a:5157, IPv4 broadcast) and at each ADDRESS; prints a\n"
     "header and one line per controller interface: address, device,\n"
     "software revision, image version, application state, MAC address,\n"
     "IPv4 address (tab-separated); --json prints the identification\n"
     "documents instead"},
    {"status", kStatus,
     "kvid status ADDRESS [-i IFACE] [-t TIME] [--json]\n"
     "                     [--follow [--interval TIME] [--give-up TIME]\n"
     "                               [--through-reboot] [-q]]",
     "prints a controller's update status; --follow shows its progress\n"
     "until two answers in a row say the update ended the same way;\n"
     "--through-reboot then waits for the controller to restart and\n"
     "reports the image it runs"},
    {"netbr", kNetbr, "kvid netbr ADDRESS [-i IFACE] [-t TIME] [--json]",
     "prints a controller's network record field by field (--json: as\n"
     "one object)"},
};

// Long-only options take values beyond any character.
enum LongOnly : int { kJson = 256, kFollow, kInterval, kGiveUp, kThroughReboot };

struct OptionSpec {
  const char* name;
  int val;
  int hasArg;
  const char* arg;
  unsigned commands;
  const char* help;
};

constexpr OptionSpec kOptions[] = {
    {"interface", 'i', required_argument, "IFACE", kAll,
     "interface to ask on (discovery's groups, link-local\naddresses)"},
    {"address", 'a', required_argument, "ADDRESS", kDiscover, "also ask this controller directly (repeatable)"},
    {"ipv4", '4', no_argument, nullptr, kAll, "IPv4 only: broadcast, IPv4 addresses of names"},
    {"ipv6", '6', no_argument, nullptr, kAll, "IPv6 only: multicast, IPv6 addresses of names"},
    {"timeout", 't', required_argument, "TIME", kAll,
     "how long to wait: discover waits it out (default\n"
     "4s: answers to a group come spread over 1 s, a\n"
     "controller may take 1 s more to read its settings,\n"
     "each is asked again with its cookie); status and\n"
     "netbr at most that long per request and address\n"
     "(default 2s)"},
    {"port", 'p', required_argument, "PORT", kAll, "the controllers' port (default 20034)"},
    {"json", kJson, no_argument, nullptr, kAll,
     "print the answers as JSON (parsed and written\nagain, one line per controller or record)"},
    {"no-header", 'H', no_argument, nullptr, kDiscover, "no header line"},
    {"follow", kFollow, no_argument, nullptr, kStatus,
     "follow an update until it ends: a refreshed line on\na terminal, else a line per change"},
    {"interval", kInterval, required_argument, "TIME", kStatus, "time between two requests (default 1s)"},
    {"give-up", kGiveUp, required_argument, "TIME", kStatus,
     "end after this long without an answer (seconds\n"
     "unless a unit is given; default 60, 300 with\n--through-reboot)"},
    {"through-reboot", kThroughReboot, no_argument, nullptr, kStatus,
     "after an installed image, wait for the controller\nto restart and report the image it runs"},
    {"quiet", 'q', no_argument, nullptr, kDiscover | kStatus,
     "discover: no header, no reports of malformed\nanswers; --follow: only the outcome"},
    {"verbose", 'v', no_argument, nullptr, kAll, "say on standard error what is asked and what\nis passed over"},
    {"help", 'h', no_argument, nullptr, kAll, "show this help"},
    {"version", 'V', no_argument, nullptr, kAll, "show the version"},
};

constexpr const char* kAddressHelp =
    "ADDRESS is an IPv4 or IPv6 address (fe80::1%eth0 names a link-local one's\n"
    "interface) or a host name, looked up in both families unless -4 or -6:\n"
    "discover asks every address of a name, status and netbr ask them in turn\n"
    "and keep the first that answers.\n"
    "TIME is milliseconds, or a number with the unit ms or s (1500, 1500ms, 2s).\n";

constexpr const char* kExitHelp =
    "exit status: 0 ok, 1 no answer, 2 usage error, unknown interface or address,\n"
    "             3 malformed answer (discover: every answer was), 4 the followed\n"
    "             update failed (--through-reboot: or came back with its old image)\n";

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

const OptionSpec* FindOption(int val) {
  for (const OptionSpec& s : kOptions)
    if (s.val == val) return &s;
  return nullptr;
}

// "-t, --timeout" or "--json".
std::string OptionName(const OptionSpec& s) {
  std::string out = s.val < 256 ? std::string("-") + static_cast<char>(s.val) + ", " : std::string("    ");
  return out + "--" + s.name;
}

// The help of one command (or of all, command nullptr).
std::string Help(const CommandSpec* command) {
  std::string out = "usage: ";
  bool first = true;
  for (const CommandSpec& c : kCommands) {
    if (command != nullptr && command != &c) continue;
    out += (first ? "" : "       ") + std::string(c.synopsis) + "\n";
    first = false;
  }
  if (command == nullptr) out += "       kvid help [COMMAND]\n       kvid --version\n";
  out += "\n";
  for (const CommandSpec& c : kCommands) {
    if (command != nullptr && command != &c) continue;
    std::string text = c.help;
    std::string indented;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t nl = std::min(text.find('\n', at), text.size());
      indented += (at == 0 ? "" : "\n            ") + text.substr(at, nl - at);
      at = nl + 1;
    }
    char name[16];
    std::snprintf(name, sizeof name, "  %-10s", c.name);
    out += name + indented + "\n";
  }
  out += "\noptions:\n";
  for (const OptionSpec& s : kOptions) {
    if (command != nullptr && (s.commands & command->bit) == 0) continue;
    std::string left = "  " + OptionName(s) + (s.arg != nullptr ? std::string(" ") + s.arg : "");
    std::string text = s.help;
    std::size_t at = 0;
    for (bool firstLine = true; at < text.size() || firstLine; firstLine = false) {
      const std::size_t nl = std::min(text.find('\n', at), text.size());
      if (left.size() > 26) {
        out += left + "\n";
        left.clear();
      }
      left.resize(26, ' ');
      out += left + text.substr(at, nl - at) + "\n";
      left.clear();
      at = nl + 1;
    }
  }
  return out + "\n" + kAddressHelp + "\n" + kExitHelp;
}

// A usage error: what was wrong, and where the help is.
int UsageError(const std::string& what, const CommandSpec* command) {
  std::fprintf(stderr, "kvid: %s\nTry 'kvid %s--help' for more information.\n", what.c_str(),
               command != nullptr ? (std::string(command->name) + " ").c_str() : "");
  return kvid::kExitUsage;
}

std::vector<std::string> LongNames() {
  std::vector<std::string> out;
  for (const OptionSpec& s : kOptions) out.emplace_back(s.name);
  return out;
}

// What getopt refused, said plainly: an unknown option with the nearest
// known one, an ambiguous abbreviation with its candidates, a value given to
// an option that takes none, or a missing value.
int OptionError(int c, int argc, char** argv) {
  const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
  if (c == ':') {
    const OptionSpec* s = FindOption(optopt);
    return UsageError("option '" + (s != nullptr && word.rfind("--", 0) == 0 ? "--" + std::string(s->name) : word) +
                          "' needs a value" +
                          (s != nullptr && s->arg != nullptr ? std::string(" (") + s->arg + ")" : ""),
                      nullptr);
  }
  if (optopt != 0 && optopt < 256) {
    // An unknown letter; "-json" is a long option with one dash.
    for (const std::string& candidate : {std::string(optind < argc ? argv[optind] : ""), word}) {
      if (candidate.size() > 2 && candidate[0] == '-' && candidate[1] == static_cast<char>(optopt)) {
        const std::string near = kvid::Nearest(candidate.substr(1), LongNames());
        return UsageError(
            "unknown option '" + candidate + "'" + (near.empty() ? "" : "; did you mean '--" + near + "'?"), nullptr);
      }
    }
    return UsageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'", nullptr);
  }
  const std::string name = word.substr(2, word.find('=') == std::string::npos ? std::string::npos : word.find('=') - 2);
  if (const OptionSpec* s = FindOption(optopt); s != nullptr && word.find('=') != std::string::npos)
    return UsageError("option '--" + std::string(s->name) + "' takes no value", nullptr);
  std::string candidates;
  for (const OptionSpec& s : kOptions)
    if (!name.empty() && std::string_view(s.name).substr(0, name.size()) == name)
      candidates += std::string(candidates.empty() ? "" : ", ") + "--" + s.name;
  if (candidates.find(',') != std::string::npos)
    return UsageError("option '--" + name + "' is ambiguous: " + candidates, nullptr);
  const std::string near = kvid::Nearest(name, LongNames());
  return UsageError("unknown option '--" + name + "'" + (near.empty() ? "" : "; did you mean '--" + near + "'?"),
                    nullptr);
}

// A TIME option's value in milliseconds.
bool Duration(const char* text, const char* option, long long unitMs, int& out, std::string& error) {
  const auto ms = kvid::ParseDuration(text, unitMs, 1);
  if (ms) {
    out = static_cast<int>(*ms);
    return true;
  }
  error = std::string("invalid time '") + text + "' for --" + option + ": give " +
          (unitMs == 1 ? "milliseconds" : "seconds") + ", or a number with the unit ms or s (" +
          (unitMs == 1 ? "1500, 1500ms, 2s" : "60, 60s, 1500ms") + "), at least 1 ms and at most 24 hours";
  return false;
}

// Applies one option; "" or what was wrong with its value.
std::string ApplyOption(int c, Options& o) {
  std::string error;
  switch (c) {
    case 'i': o.interface = optarg; break;
    case 'a': o.addresses.emplace_back(optarg); break;
    case '4': o.family = AF_INET; break;
    case '6': o.family = AF_INET6; break;
    case 't': (void)Duration(optarg, "timeout", 1, o.timeoutMs, error); break;
    case 'p': {
      const auto port = kvid::ParseDuration(optarg, 1, 1);  // a plain number, as it takes no unit
      if (port && *port <= 65535 && std::string_view(optarg).find_first_not_of("0123456789") == std::string_view::npos)
        o.port = static_cast<int>(*port);
      else
        error = std::string("invalid port '") + optarg + "': give a number from 1 to 65535";
      break;
    }
    case kJson: o.json = true; break;
    case 'H': o.noHeader = true; break;
    case kFollow: o.follow = true; break;
    case kInterval: (void)Duration(optarg, "interval", 1, o.intervalMs, error); break;
    case kGiveUp: (void)Duration(optarg, "give-up", 1000, o.giveUpMs, error); break;
    case kThroughReboot: o.throughReboot = true; break;
    case 'q': o.quiet = true; break;
    case 'v': kvid::SetVerbose(true); break;
    default: break;
  }
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<option> longOptions;
  for (const OptionSpec& s : kOptions) longOptions.push_back({s.name, s.hasArg, nullptr, s.val});
  longOptions.push_back({nullptr, 0, nullptr, 0});
  // Options may come before, between and after the command and its address.
  ::opterr = 0;
  std::vector<std::string> words;
  std::vector<int> given;
  bool help = false, version = false;
  for (;;) {
    int c;
    while ((c = ::getopt_long(argc, argv, "+:i:a:46t:p:HqvhV", longOptions.data(), nullptr)) != -1) {
      if (c == '?' || c == ':') return OptionError(c, argc, argv);
      given.push_back(c);
      if (c == 'h') help = true;
      if (c == 'V') version = true;
      if (const std::string error = ApplyOption(c, o); !error.empty()) return UsageError(error, nullptr);
    }
    if (optind >= argc) break;
    words.emplace_back(argv[optind++]);
  }
  if (version) {
    std::printf("kvid %s\n", KV_PROJECT_VERSION);
    return kvid::kExitOk;
  }
  // "kvid help [COMMAND]" and "kvid [COMMAND] --help".
  if (!words.empty() && words[0] == "help") {
    if (words.size() > 2) return UsageError("help takes one COMMAND at most", nullptr);
    help = true;
    words.erase(words.begin());
  }
  const CommandSpec* command = words.empty() ? nullptr : FindCommand(words[0]);
  if (!words.empty() && command == nullptr) {
    std::vector<std::string> names;
    for (const CommandSpec& c : kCommands) names.emplace_back(c.name);
    names.emplace_back("help");
    const std::string near = kvid::Nearest(words[0], names);
    return UsageError("unknown command '" + words[0] + "'" + (near.empty() ? "" : "; did you mean '" + near + "'?"),
                      nullptr);
  }
  if (help) {
    std::fputs(Help(command).c_str(), stdout);
    return kvid::kExitOk;
  }
  if (command == nullptr) return UsageError("give a command: discover, status or netbr", nullptr);
  for (const int c : given) {
    const OptionSpec* s = FindOption(c);
    if (s != nullptr && (s->commands & command->bit) == 0)
      return UsageError("option '--" + std::string(s->name) + "' is not an option of " + command->name, command);
  }
  if (o.throughReboot && !o.follow) return UsageError("--through-reboot needs --follow", command);
  o.command = command->name;
  if (command->bit == kDiscover && words.size() > 1)
    return UsageError("discover takes no ADDRESS ('" + words[1] + "'); give it with -a", command);
  if (command->bit != kDiscover && words.size() != 2)
    return UsageError(words.size() < 2 ? o.command + " needs the controller's ADDRESS"
                                       : o.command + " takes one ADDRESS, not also '" + words[2] + "'",
                      command);
  if (!o.interface.empty()) {
    o.interfaceIndex = ::if_nametoindex(o.interface.c_str());
    if (o.interfaceIndex == 0) return Fail(kvid::kExitUsage, "unknown interface '" + o.interface + "'");
  }
  if (command->bit == kDiscover) {
    if (o.timeoutMs < 0) o.timeoutMs = kDiscoverWaitMs;
    return Discover(o);
  }
  if (o.timeoutMs < 0) o.timeoutMs = kAnswerWaitMs;
  if (o.giveUpMs < 0) o.giveUpMs = o.throughReboot ? kRebootGiveUpMs : kGiveUpMs;
  o.address = words[1];
  auto resolved = kvid::ResolveTargets(o.address, o.interfaceIndex, o.port, o.family);
  if (!resolved) return Fail(kvid::kExitUsage, resolved.error().message());
  Controller c;
  c.name = o.address;
  c.targets = std::move(resolved).value();
  c.peers.resize(c.targets.size());
  for (const kvid::Target& t : c.targets)
    if (t.text != c.name) kvid::Note(c.name + " is " + t.text);
  return command->bit == kStatus ? Status(o, c) : Netbr(o, c);
}
