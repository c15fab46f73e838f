#include "idprot/idguard.h"

#include <arpa/inet.h>
#include <time.h>

#include "core/log.h"
#include "idprot/idserver.h"

namespace {

// The syslog priority of the report line: a warning, neither an error of
// the daemon nor its normal progress.
constexpr int kPriorityWarning = 4;

void Count(IdGuard& g, IdGuardVerdict verdict, long long nowMs) {
  if (verdict == kIdDropAnswer)
    ++g.droppedAnswers;
  else
    ++g.droppedOverRate;
  if (g.firstUnreportedMs == 0) g.firstUnreportedMs = nowMs;
}

}  // namespace

long long idguard_NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool idguard_Take(IdTokenBucket& bucket, const IdRate& rate, long long nowMs) {
  if (bucket.tokens < 0) {
    bucket.tokens = rate.burst;
  } else if (nowMs > bucket.lastMs) {
    bucket.tokens += static_cast<double>(nowMs - bucket.lastMs) * rate.perSecond / 1000.0;
    if (bucket.tokens > rate.burst) bucket.tokens = rate.burst;
  }
  bucket.lastMs = nowMs;
  if (bucket.tokens < 1.0) return false;
  bucket.tokens -= 1.0;
  return true;
}

IdGuardVerdict idguard_Check(IdGuard& g, const sockaddr_in6& sender, const char* data, std::size_t len,
                             IdRequestKind kind, long long nowMs) {
  IdGuardVerdict verdict = kIdAdmit;
  if (sender.sin6_port == htons(kIdPort) || IdProt_IsAnswer(data, len)) {
    verdict = kIdDropAnswer;
  } else {
    const bool admitted = kind == kIdRequestIdentification || kind == kIdRequestNetwork
                              ? idguard_Take(g.identification, kIdRateIdentification, nowMs)
                          : kind == kIdRequestStatus ? idguard_Take(g.status, kIdRateStatus, nowMs)
                                                     : idguard_Take(g.other, kIdRateOther, nowMs);
    if (!admitted) verdict = kIdDropOverRate;
  }
  if (verdict != kIdAdmit) Count(g, verdict, nowMs);
  return verdict;
}

int idguard_ReportDelayMs(const IdGuard& g, long long nowMs) {
  if (g.droppedAnswers == 0 && g.droppedOverRate == 0) return -1;
  if (g.lastReportMs == 0) return 0;
  const long long due = g.lastReportMs + kIdDropReportSeconds * 1000 - nowMs;
  return due > 0 ? static_cast<int>(due) : 0;
}

void idguard_Report(IdGuard& g, const char* interfaceName, long long nowMs) {
  if (idguard_ReportDelayMs(g, nowMs) != 0) return;
  const long long seconds = (nowMs - g.firstUnreportedMs + 999) / 1000;
  log_PrintPriority(kPriorityWarning, 0,
                    "idserver_Receive, %s: %u requests over the rate limit and %u answers dropped in %lld s\n",
                    interfaceName, g.droppedOverRate, g.droppedAnswers, seconds > 0 ? seconds : 1);
  g.droppedAnswers = 0;
  g.droppedOverRate = 0;
  g.firstUnreportedMs = 0;
  g.lastReportMs = nowMs;
}
