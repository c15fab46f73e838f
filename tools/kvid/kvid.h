// kvid: the service technician's identification client. Finds controllers on
// a network segment, reads one controller's update status (optionally
// following it until the update ends) and its network record.
//
// The decoding half (this header) is shared with the tests; the sockets and
// the command line live in net.cpp and main.cpp.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/handles.h"
#include "core/result.h"

namespace kvid {

// Exit statuses of the client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitUsage = 2;  // also an unknown interface or address
inline constexpr int kExitMalformed = 3;
inline constexpr int kExitUpdateFailed = 4;

// The protocol's bound on an answer (the status document never comes near
// it). A longer datagram is not an answer of a controller.
inline constexpr std::size_t kMaxAnswerBytes = 2048;

// The most controllers one discovery keeps (and addresses it tracks); the
// answers of further addresses are passed over with one warning.
inline constexpr std::size_t kMaxControllers = 65536;

// --- request extension and cookie answer ---------------------------------

// A cookie the controller handed out for our address, and the random nonce a
// request carries (echoed by the controller's cookie answer and, for a
// verified request, as the "nonce" member of its document).
using Cookie = std::array<std::uint8_t, 16>;
using Nonce = std::array<std::uint8_t, 8>;

// Eight random bytes from the kernel.
Nonce NewNonce();

// The nonce as the controllers echo it in a document: 16 lower-case hex digits.
std::string NonceHex(const Nonce& nonce);

// A request: its fixed part ("IDREQ\0", "BURNR\0", "IDUPDATESTATUS\0") followed
// by the extension "KVX1", the cookie (all zero when we have none) and the nonce.
std::string ExtendedRequest(std::string_view fixedPart, const Cookie& cookie, const Nonce& nonce);

// A cookie answer: exactly "IDCKE", the cookie and the nonce echoed; nothing
// else (another length, another keyword) is one.
struct CookieAnswer {
  Cookie cookie{};
  Nonce nonce{};
};
std::optional<CookieAnswer> DecodeCookieAnswer(std::string_view answer);

// What the client knows of one controller address during a run: the cookie it
// was given, and whether the controller speaks the extension (it sent a cookie
// answer with our nonce or echoed our nonce in a document). From then on an
// identification or status answer without our nonce is not its answer.
struct Peer {
  Cookie cookie{};
  bool extended = false;
};

// How an answer's nonce member ("nonce", absent for an old controller) stands
// against the nonce asked.
enum class Freshness {
  kVerified,    // carries the nonce asked: made for this very request
  kUnverified,  // carries none, and the controller has never shown it echoes
  kStale,       // carries another nonce, or none from a controller that echoes
};
Freshness JudgeNonce(const std::optional<std::string>& echoed, const Nonce& asked, const Peer& peer);

// --- answers ---------------------------------------------------------------

// Anyone on the network can answer: every decoder returns the answer's texts
// through Shown, so that printing them cannot drive the technician's terminal.
// Shown keeps valid UTF-8 text and shows as '?' every control character (C0,
// DEL, C1 in UTF-8) and every byte outside valid UTF-8 (a raw C1 byte such as
// 0x9B, which some terminals take as CSI, included). keepLayout keeps tab, line
// feed and carriage return.
std::string Shown(std::string_view text, bool keepLayout);

// The text with every byte outside valid UTF-8 as '?' and everything else
// (control characters included) kept: what a JSON writer can carry escaped.
std::string ValidUtf8(std::string_view text);

// One identification answer, decoded.
struct Identity {
  std::string json;  // the parsed document re-serialised, compact, on one line, shown
  std::string device, swRevision, imageVersion, interfaceName, mac, addressV4;
  // The interface's current addresses as the document lists them
  // (current_addressv4, current_address1v6 to current_address4v6), as sent.
  std::vector<std::string> ownAddresses;
  bool appRunning = false;
  std::optional<std::string> nonce;  // the "nonce" member, as it came ("" when not a string)
  std::string deviceName;            // "device_name", shown
  // The members above as the document holds them (control characters kept,
  // only bytes outside valid UTF-8 as '?'): for writing into JSON, whose
  // writer escapes them. Never printed as text.
  struct Sent {
    std::string device, deviceName, swRevision, imageVersion, interfaceName, mac;
  } sent;
};

// Decodes an "IDRSP" answer. Refused, with the reason, when the answer is not
// "IDRSP" followed by a JSON object (and nothing but white space or NULs)
// with the string members "device", "sw_revision" and "image_version" and
// the Boolean "app_running".
kv::Result<Identity> DecodeIdentity(std::string_view answer);

// The discovery line of a controller: address, device, software revision,
// image version, whether the application runs, MAC address and current IPv4
// address ("-" for a member the document lacks), separated by tabs; and the
// header line naming those columns.
std::string IdentityLine(const std::string& address, const Identity& id);
inline constexpr const char* kIdentityHeader = "ADDRESS\tDEVICE\tSOFTWARE\tIMAGE\tAPPLICATION\tMAC\tIPV4";

// Whether two answers, each from its sender's address, come from the same
// interface of one controller: both documents name the same MAC address
// (not all zero) and interface, and each lists the other's sender among its
// own current addresses. A controller asked by IPv6 multicast and by IPv4
// broadcast answers from both families; one that merely claims another's MAC
// cannot make that controller's document list its own address.
bool SameInterface(const std::string& fromA, const Identity& a, const std::string& fromB, const Identity& b);

// One status document, decoded.
struct Status {
  std::string json;  // the parsed document re-serialised, formatted, shown
  std::optional<std::string> nonce;
  int totalProgress = 0, componentProgress = 0, actionCode = 0, errorNumber = 0, elapsed = 0, sequence = 0;
  std::string action, error, timedate, serverName, serverRevision, bundle;
  // As the document holds them (see Identity::Sent).
  struct Sent {
    std::string action, serverName, serverRevision;
  } sent;
};

// Decodes a status document; refused when it is not JSON (nothing but white
// space or NULs may follow it) or lacks one of the progress, action or error
// members (msgSeqNumber among them).
kv::Result<Status> DecodeStatus(std::string_view answer);

// The multi-line status report and the one-line progress line of --follow.
std::string StatusReport(const std::string& address, const Status& s);
std::string ProgressLine(const Status& s);

// Whether a followed update has ended, and how: action code 2 (installed,
// restarting) or 3 (done after a failure), or any error number.
bool UpdateEnded(const Status& s);
bool UpdateSucceeded(const Status& s);

// Whether two ended updates ended the same way: both installed, or both
// failed with the same error number.
bool SameEnding(const Status& a, const Status& b);

// The network record, decoded field by field.
struct NetworkRecord {
  std::uint32_t length = 0;
  std::uint8_t staticAddress[4], staticNetmask[4], staticGateway[4], staticDns[4];
  std::uint8_t mac[6], mac2[6];
  std::uint8_t dhcpAddress[4], dhcpNetmask[4], dhcpGateway[4], dhcpDns[4];
  std::uint8_t flags = 0;
  std::uint8_t trailer[5];
  std::string platform, text;
};

// Decodes a "NETBR" answer; refused when it is shorter than the fixed part,
// has another keyword, or its text part lacks its two NULs.
kv::Result<NetworkRecord> DecodeNetworkRecord(std::string_view answer);
std::string NetworkReport(const std::string& address, std::size_t size, const NetworkRecord& r);
// The same fields as one JSON object on one line (addresses as text, the
// flags as a number and as Booleans, texts shown).
std::string NetworkJson(const std::string& address, std::size_t size, const NetworkRecord& r);

// --- command line (cli.cpp) ------------------------------------------------

// A duration: a plain number counts in unit milliseconds (1 for a time given
// in milliseconds, 1000 for one given in seconds); the suffixes "ms" and "s"
// name their unit. Refused (nullopt) when it is not that, below min
// milliseconds or beyond 24 hours.
std::optional<long long> ParseDuration(std::string_view text, long long unitMs, long long minMs);

// The word of known nearest to word by edit distance (insertions, deletions,
// substitutions, transpositions), when it is near enough to be a slip of the
// keyboard (at most a third of its length, at least 1, at most 3); "" else.
std::string Nearest(std::string_view word, const std::vector<std::string>& known);

// Progress notes on standard error for -v ("kvid: " and the text); off
// unless SetVerbose(true).
void SetVerbose(bool on);
void Note(const std::string& text);

// --- network (net.cpp) ---------------------------------------------------

// A destination: an IPv4 or IPv6 address text, with the interface index for
// link-local and multicast addresses.
struct Target {
  sockaddr_in6 address{};  // IPv4 targets as IPv4-mapped addresses
  std::string text;
};

// Resolves an address text (numeric only); refused when it is not one.
kv::Result<Target> MakeTarget(const std::string& text, unsigned interfaceIndex, int port);

// Resolves a controller's address or host name: a numeric address (IPv6 with
// an optional "%interface" scope) as MakeTarget, else every address the
// resolver gives for the name, in its order (IPv4 ones as IPv4-mapped),
// without repeats. family (AF_UNSPEC, AF_INET or AF_INET6) keeps one family.
// Each target's text is the address; name says what was asked. Refused, with
// the resolver's reason, when nothing of that family is found.
kv::Result<std::vector<Target>> ResolveTargets(const std::string& name, unsigned interfaceIndex, int port, int family);

// The IPv4 broadcast addresses of an interface's IPv4 networks (none when
// it has no IPv4 address or no broadcast).
std::vector<Target> BroadcastTargets(unsigned interfaceIndex, int port);

// The address text of a sender (IPv4-mapped addresses as IPv4).
std::string AddressText(const sockaddr_in6& address);

// Receive buffer of a discovery socket: room for the answers of a whole plant
// that arrive at once after a discovery request (about 1,000 answers of up to
// 2 KiB each, with the kernel's overhead per datagram).
inline constexpr int kReceiveBufferBytes = 8 << 20;

// A dual-stack UDP socket on a new ephemeral port whose multicast leaves
// through interfaceIndex (0: the system's choice); with largeBuffer a receive
// buffer of kReceiveBufferBytes (beyond the system's limit only with the
// privilege to).
// broadcast allows sending to an IPv4 broadcast address.
kv::Result<kv::Fd> OpenSocket(unsigned interfaceIndex, bool largeBuffer, bool broadcast = false);

// The monotonic clock in milliseconds.
long long NowMs();
// Sleeps ms milliseconds, through interruptions by signals.
void SleepMs(int ms);

// One received datagram. data holds at most kMaxAnswerBytes + 1 bytes; size
// is the datagram's whole length, so a longer one is known for what it is.
struct Datagram {
  sockaddr_in6 from{};
  std::string data;
  std::size_t size = 0;
};

// Waits for the next datagram until deadlineMs (NowMs); false at the deadline.
bool Receive(const kv::Fd& socket, long long deadlineMs, Datagram& out);

// Sends one datagram (a failure, e.g. an unreachable network, is an answer
// that does not come).
void Send(const kv::Fd& socket, const sockaddr_in6& to, std::string_view data);

// The exchange with one controller: what the caller makes of a datagram that
// came from the address and port asked and is not a cookie answer.
enum class Verdict { kTake, kPassOver, kMalformed };
struct Judged {
  Verdict verdict = Verdict::kPassOver;
  std::string reason;  // why it is malformed
};
using Judge = std::function<Judged(std::string_view answer, const Nonce& asked)>;

struct Outcome {
  std::optional<std::string> answer;  // the answer taken
  std::string malformed;              // else: why the last malformed answer was refused ("" when none came)
};

// Sends fixedPart with the extension (peer's cookie, a fresh nonce) to target
// from a fresh socket, and waits up to timeoutMs for an answer from the
// target's address and port that judge takes. A cookie answer with the nonce
// stores its cookie in peer and sends the request again with it (twice at
// most); datagrams from elsewhere, longer than kMaxAnswerBytes, or passed
// over by judge are not the answer.
kv::Result<Outcome> Exchange(const Target& target, unsigned interfaceIndex, std::string_view fixedPart, Peer& peer,
                             int timeoutMs, const Judge& judge);

// --- discovery (discover.cpp) ---------------------------------------------

// What a discovery asks: the identification group (IPv6) and the IPv4
// broadcast addresses of each interface, and each address (or name) given.
struct DiscoverRequest {
  std::vector<unsigned> interfaces;         // interface indexes asked by group and broadcast
  std::vector<std::string> interfaceNames;  // their names, for the messages
  std::vector<std::string> addresses;       // asked directly
  int family = AF_UNSPEC;                   // AF_INET: broadcast only; AF_INET6: multicast only
  int timeoutMs = 4000;                     // the whole wait
  int port = 0;                             // the controllers' port
};

// One controller interface that answered: its identity, the address that
// answered first, and every address of the same interface that answered
// (see SameInterface), in the order they answered.
struct Discovered {
  std::string from;
  Identity id;
  std::vector<std::string> addresses;  // from first; link-local ones with "%interface"
};

struct Discovery {
  std::vector<Discovered> controllers;  // in the order they answered
  std::vector<std::string> notes;       // "malformed answer from ADDRESS: REASON", once per address
  int malformed = 0;                    // malformed answers (every one counted)
  bool full = false;                    // kMaxControllers addresses answered; further ones were passed over
};

// Asks and waits out timeoutMs: a first request with a zero cookie, once
// more a third of the way through to whoever has not answered; each cookie
// answer (with the nonce asked) is answered with a direct request carrying
// the cookie. onFound sees each new controller interface as it is found,
// onNote each note as it is made (both may be empty). Refused, with the
// reason, when nothing can be asked (no interface or address, a name that
// does not resolve, an interface without an IPv4 broadcast address under
// AF_INET) or no socket opens.
kv::Result<Discovery> Discover(const DiscoverRequest& request,
                               const std::function<void(const Discovered&)>& onFound = {},
                               const std::function<void(const std::string&)>& onNote = {});

// --- asking and following one controller (follow.cpp) -----------------------

// The fixed parts of the requests; the extension follows them.
inline constexpr std::string_view kIdentityRequest("IDREQ\0", 6);
inline constexpr std::string_view kStatusRequest("IDUPDATESTATUS\0", 15);

// How a controller is asked and followed.
struct FollowOptions {
  unsigned interfaceIndex = 0;
  int timeoutMs = 2000;   // wait for each answer
  int intervalMs = 1000;  // between two requests
  int giveUpMs = 60000;   // without an answer taken
  bool throughReboot = false;
  // What the status said before the update was sent: answers that still say
  // the same (same action, error and progress, no new start of an update)
  // are not yet the update's and never end the follow. nullopt: every
  // answer is the update's.
  std::optional<Status> baseline;
  long long baselineAtMs = 0;  // NowMs when the baseline was read
  // The follow ends (kExitNoAnswer, timedOut) at this NowMs; 0: no limit.
  long long deadlineMs = 0;
  // Asked between requests; true ends the follow (interrupted).
  std::function<bool()> cancelled;
};

// One controller asked by its name's addresses, in the resolver's order
// until one answers; that one is kept.
struct Controller {
  std::string name;  // as given
  std::vector<Target> targets;
  std::vector<Peer> peers;  // one per address: cookies are per address
  std::size_t chosen = 0;   // the address that answered (valid once answered)
  bool answered = false;

  // The controller as printed: the address, or the name and the address.
  std::string Shown(std::size_t i) const;
  std::string ShownAll() const;
};

// What one round of asking gave: an answer taken (from targets[chosen]), or
// the last malformed answer's reason.
struct Asked {
  bool taken = false;
  std::size_t size = 0;
  std::string malformed, malformedFrom;
};

// Sends fixedPart to the controller's address that answered before, or else
// to each of its addresses in turn, each waited up to o.timeoutMs; judge is
// made for the address's peer.
kv::Result<Asked> Ask(const FollowOptions& o, Controller& c, std::string_view fixedPart,
                      const std::function<Judge(Peer&)>& judgeFor);

// What a follow has accepted so far.
struct Followed {
  std::optional<Status> last;  // the last accepted answer
  bool lastVerified = false;   // it carried its poll's nonce
  bool takenVerified = false;  // the answer of this poll did
};

// Judges a status answer of one poll: decoded, with the poll's nonce (when
// the controller echoes them), and, across polls, a msgSeqNumber beyond the
// last accepted one; a number that went back is a restarted daemon only when
// the answer carries the poll's nonce. anyNumber drops the rule on numbers
// (waiting for a restart, where the caller judges them).
Judge StatusJudge(Peer& peer, Followed& followed, std::optional<Status>& taken, bool anyNumber = false);

// Judges an identification answer of a single controller: decoded and fresh.
Judge IdentityJudge(Peer& peer, std::optional<Identity>& taken);

// Reads the controller's identity, asking again every interval until
// untilMs; nullopt when none came.
std::optional<Identity> ReadIdentity(const FollowOptions& o, Controller& c, long long untilMs);

// Whether a status says an update began after the baseline was read: its
// action, error or progress differ from the baseline's, or its elapsed
// seconds started anew.
bool BeganAfter(const Status& baseline, long long baselineAtMs, const Status& s, long long nowMs);

// What a follow tells while it runs: each answer taken (progress), each line
// of its outcome ("update finished: ...", "restarted after ..."), and the
// controller's restart (it went silent or answered as a restarted daemon).
struct FollowSink {
  std::function<void(const Status&)> progress;
  std::function<void(const std::string&)> say;
  std::function<void()> restarting;
};

// How a follow ended: kvid's exit status, and for a failure to follow (no
// answer, malformed answers, a socket error) the reason.
struct FollowEnd {
  int status = kExitOk;
  std::string error;                  // "" unless the follow itself failed
  std::string failure;                // the update failed: why, in words
  std::optional<Status> last;         // the last status taken
  std::optional<Identity> restarted;  // the identity after a restart
  bool committed = false;             // the restarted daemon reported the commit
  bool interrupted = false;           // cancelled() said so
  bool timedOut = false;              // deadlineMs passed
  bool silent = false;                // timed out while a restarting controller did not answer
};

// Follows an update (kvid status --follow): polls the status every interval
// until two answers in a row say it ended the same way; with throughReboot,
// after an installed image, waits for the restart, reads the identity and
// asks for the commit.
FollowEnd Follow(const FollowOptions& o, Controller& c, const FollowSink& sink);

}  // namespace kvid
