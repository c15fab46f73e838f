// What a listener answers, and how much. The protocol answers every
// interface without authentication, so each received datagram is judged
// before any work is done, and what is budgeted is answers, per sender and
// per interface, never a queue that one sender can fill:
//
// - Answers are never answered ("IDRSP", "NETBR", "CLOSED", "IDCKE", a
//   status document), and nothing is sent to a source port below 1024 or of
//   a well-known discovery or cache service, so no loop with another
//   controller or any other service can start.
// - A request that carries a valid cookie (idcookie.h) is verified: it is
//   served first and from budgets of its own (per source, per interface)
//   that no unverified datagram can spend.
// - An extended request without a valid cookie gets only the cookie answer,
//   which is shorter than the request.
// - A plain request gets its full answer while the budgets of its source
//   and of all unverified sources of the interface allow. An answer no
//   longer than its request is not charged to its source (it amplifies
//   nothing) but still to the interface (it is work). Requests sent to a group (multicast
//   or broadcast) have a smaller budget per source, and an unknown datagram
//   is answered "CLOSED" only when its source sent none in the ten seconds
//   before, so a service that answers everything gets one answer and no
//   loop.
// - Every bucket is capped at its burst: a quiet hour saves up nothing more.
// - Dropped datagrams are counted and reported in at most one line per
//   interface every kIdDropReportSeconds.
//
// The per-source records live in a fixed table (kIdSourceCount addresses,
// set-associative under a keyed hash so that nobody can aim at one set); a
// source pushed out by others starts again with a full burst, which the
// interface's budgets still bound. A guard belongs to one listener and is
// used by its thread alone.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "idprot/idrequest.h"

// Sustained rate and burst of one bucket, in answers or bytes.
struct IdRate {
  double perSecond;
  double burst;
};

// Verified sources: per source, and all of them on one interface.
inline constexpr IdRate kIdRateVerifiedSource{20.0, 20.0};
inline constexpr IdRate kIdRateVerifiedInterface{500.0, 100.0};
// Cookie answers on one interface (never larger than their requests; the
// bound is for the work).
inline constexpr IdRate kIdRateCookie{5000.0, 500.0};
// Unverified answers, in bytes: per source, and all unverified sources of
// one interface together.
inline constexpr IdRate kIdRateUnverifiedSource{4096.0, 16384.0};
inline constexpr IdRate kIdRateUnverifiedInterface{32768.0, 65536.0};
// Unverified requests sent to a group, in answers per source.
inline constexpr IdRate kIdRateGroupSource{1.0, 5.0};
// An unknown datagram is answered when its source sent none for this long.
inline constexpr long long kIdUnknownQuietMs = 10000;

inline constexpr long long kIdDropReportSeconds = 10;
inline constexpr std::size_t kIdSourceCount = 4096;
inline constexpr std::size_t kIdSourceWays = 4;

struct IdTokenBucket {
  double tokens = -1.0;  // negative: not yet used, starts full
  long long lastMs = 0;
};

// What the judge decided for one datagram.
enum IdGuardVerdict : int {
  kIdAnswerFull = 0,    // the full answer of its kind
  kIdAnswerCookie = 1,  // the cookie answer only
  kIdDropAnswer = 2,    // an answer, or sent from a port nothing is sent to
  kIdDropOverRate = 3,  // beyond a budget
};

// One received datagram as the guard sees it.
struct IdDatagram {
  sockaddr_in6 sender{};
  const char* data = nullptr;
  std::size_t length = 0;
  bool toGroup = false;  // sent to a multicast or broadcast address
  IdRequestKind kind = kIdRequestUnknown;
  IdExtension extension;
  bool verified = false;  // the extension's cookie is valid for the sender
};

struct IdSource;

struct IdGuard {
  IdGuard();
  ~IdGuard();
  IdGuard(const IdGuard&) = delete;
  IdGuard& operator=(const IdGuard&) = delete;

  IdTokenBucket verified;               // answers to verified requests
  IdTokenBucket cookies;                // cookie answers
  IdTokenBucket unverified;             // bytes of answers to unverified requests
  std::unique_ptr<IdSource[]> sources;  // allocated on first use
  std::uint64_t hashKey = 0;
  unsigned droppedAnswers = 0;   // since the last report
  unsigned droppedOverRate = 0;  // since the last report
  long long lastReportMs = 0;    // 0: nothing reported yet
  long long firstUnreportedMs = 0;
};

// Takes cost from the bucket at time nowMs (monotonic milliseconds); false,
// taking nothing, when the bucket holds less than min(cost, burst). The
// bucket never holds more than its burst.
bool idguard_Take(IdTokenBucket& bucket, const IdRate& rate, long long nowMs, double cost = 1.0);

// The bytes an answer of kind is expected to take, charged when it is
// admitted (the status document and the identification document vary a
// little; the largest usual sizes).
std::size_t idguard_ExpectedAnswerBytes(IdRequestKind kind);

// True when nothing is ever sent to this source port.
bool idguard_SilentPort(std::uint16_t port);

// Judges one datagram at time nowMs and charges its budgets; counts it when
// it is dropped.
IdGuardVerdict idguard_Check(IdGuard& guard, const IdDatagram& datagram, long long nowMs);

// Logs the report line for the interface when drops are counted and one is
// due: "idserver_Receive, <name>: <n> requests over the rate limit and <m>
// answers dropped in <s> s" at level 0 with priority warning.
void idguard_Report(IdGuard& guard, const char* interfaceName, long long nowMs);

// Milliseconds until a report of counted drops is due (0: now), or -1 when
// nothing waits to be reported; a listener waits no longer than this.
int idguard_ReportDelayMs(const IdGuard& guard, long long nowMs);

// Monotonic milliseconds.
long long idguard_NowMs();
