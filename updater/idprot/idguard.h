// What a listener admits. The protocol answers every interface without
// authentication, so each datagram is looked at before any work is done:
//
// - Answers are never answered. A datagram that is itself an answer
//   ("IDRSP", "NETBR", "CLOSED", a status document) or that comes from the
//   protocol's own port 20034 (where only another controller's listener
//   sends from) is dropped, so that one spoofed datagram cannot start a
//   ping-pong between two controllers.
// - Requests are rate-limited per interface by token buckets, one per kind
//   of request, so that a flood of one kind costs a bounded amount of work
//   and does not hold back the other kinds. A burst of any honest client
//   fits in the buckets.
// - Dropped datagrams are counted and reported in at most one line per
//   interface every kIdDropReportSeconds: at once for the first drop after a
//   quiet spell, then a summary of what followed.
//
// A guard belongs to one listener and is used by its thread alone.
#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "idprot/idrequest.h"

// Sustained rate and burst of one bucket.
struct IdRate {
  double perSecond;
  double burst;
};

// Identification and network answers: the ones that read files and ask the
// application. A client that waits for each answer never runs a bucket dry
// (the listener's pause after every answer keeps it below 100 a second);
// the bursts are small because a listener answering a burst, with its pause
// after each answer, reads nothing else meanwhile.
inline constexpr IdRate kIdRateIdentification{50.0, 10.0};
inline constexpr IdRate kIdRateStatus{50.0, 20.0};
// "CLOSED" for anything else.
inline constexpr IdRate kIdRateOther{50.0, 20.0};

inline constexpr long long kIdDropReportSeconds = 10;

struct IdTokenBucket {
  double tokens = -1.0;  // negative: not yet used, starts full
  long long lastMs = 0;
};

enum IdGuardVerdict : int {
  kIdAdmit = 0,
  kIdDropAnswer = 1,    // an answer, or sent from port 20034
  kIdDropOverRate = 2,  // beyond the interface's rate for its kind
};

struct IdGuard {
  IdTokenBucket identification;
  IdTokenBucket status;
  IdTokenBucket other;
  unsigned droppedAnswers = 0;   // since the last report
  unsigned droppedOverRate = 0;  // since the last report
  long long lastReportMs = 0;    // 0: nothing reported yet
  long long firstUnreportedMs = 0;
};

// Takes one token from the bucket at time nowMs (monotonic milliseconds);
// false when the bucket is empty.
bool idguard_Take(IdTokenBucket& bucket, const IdRate& rate, long long nowMs);

// Decides on one received datagram of kind (IdProt_ClassifyRequest) from
// sender, and counts it when it is dropped.
IdGuardVerdict idguard_Check(IdGuard& guard, const sockaddr_in6& sender, const char* data, std::size_t len,
                             IdRequestKind kind, long long nowMs);

// Logs the report line for the interface when drops are counted and one is
// due: "idserver_Receive, <name>: <n> requests over the rate limit and <m>
// answers dropped in <s> s" at level 0 with priority warning.
void idguard_Report(IdGuard& guard, const char* interfaceName, long long nowMs);

// Milliseconds until a report of counted drops is due (0: now), or -1 when
// nothing waits to be reported; a listener waits no longer than this.
int idguard_ReportDelayMs(const IdGuard& guard, long long nowMs);

// Monotonic milliseconds.
long long idguard_NowMs();
