#include "idprot/idguard.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/log.h"

// One source address and its budgets. Every bucket of a record is refilled
// from the record's own last time.
struct IdSource {
  in6_addr address{};
  long long lastMs = 0;  // 0: a free slot
  long long lastUnknownMs = 0;
  float verified = 0;    // answers
  float unverified = 0;  // bytes
  float group = 0;       // answers to group requests
};

namespace {

// The syslog priority of the report line: a warning, neither an error of
// the daemon nor its normal progress.
constexpr int kPriorityWarning = 4;

// Ports nothing is sent to: the system's services, and the discovery and
// cache services that answer anything (a loop, or an amplifier of our own).
constexpr std::uint16_t kSilentPorts[] = {1900, 3702, 5353, 5683, 11211};

void Count(IdGuard& g, IdGuardVerdict verdict, long long nowMs) {
  if (verdict == kIdDropAnswer)
    ++g.droppedAnswers;
  else
    ++g.droppedOverRate;
  if (g.firstUnreportedMs == 0) g.firstUnreportedMs = nowMs;
}

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// The set of an address under the guard's key.
std::size_t SetOf(const IdGuard& g, const in6_addr& a) {
  std::uint64_t w[2];
  std::memcpy(w, &a, sizeof w);
  return static_cast<std::size_t>(Mix(Mix(w[0] ^ g.hashKey) ^ w[1]) % (kIdSourceCount / kIdSourceWays));
}

float Refill(float tokens, const IdRate& rate, long long elapsedMs) {
  const double t = static_cast<double>(tokens) + static_cast<double>(elapsedMs) * rate.perSecond / 1000.0;
  return static_cast<float>(std::min(t, rate.burst));
}

// The record of a source, refilled to nowMs; a new one (full buckets) in the
// place of the least recently seen source of its set when it has none.
IdSource& SourceOf(IdGuard& g, const in6_addr& address, long long nowMs) {
  if (!g.sources) {
    g.sources.reset(new (std::nothrow) IdSource[kIdSourceCount]);
    if (!g.sources) {
      // Without a table every source shares one record: still bounded.
      static thread_local IdSource shared;
      return shared;
    }
  }
  IdSource* set = &g.sources[SetOf(g, address) * kIdSourceWays];
  IdSource* oldest = set;
  for (std::size_t i = 0; i < kIdSourceWays; ++i) {
    IdSource& s = set[i];
    if (s.lastMs != 0 && std::memcmp(&s.address, &address, sizeof address) == 0) {
      const long long elapsed = nowMs > s.lastMs ? nowMs - s.lastMs : 0;
      s.verified = Refill(s.verified, kIdRateVerifiedSource, elapsed);
      s.unverified = Refill(s.unverified, kIdRateUnverifiedSource, elapsed);
      s.group = Refill(s.group, kIdRateGroupSource, elapsed);
      s.lastMs = nowMs;
      return s;
    }
    if (s.lastMs < oldest->lastMs) oldest = &s;
  }
  *oldest = IdSource{};
  oldest->address = address;
  oldest->lastMs = nowMs != 0 ? nowMs : 1;
  oldest->verified = static_cast<float>(kIdRateVerifiedSource.burst);
  oldest->unverified = static_cast<float>(kIdRateUnverifiedSource.burst);
  oldest->group = static_cast<float>(kIdRateGroupSource.burst);
  return *oldest;
}

IdGuardVerdict Judge(IdGuard& g, const IdDatagram& d, long long nowMs) {
  if (IdProt_IsAnswer(d.data, d.length) || idguard_SilentPort(ntohs(d.sender.sin6_port))) return kIdDropAnswer;
  IdSource& source = SourceOf(g, d.sender.sin6_addr, nowMs);
  if (d.verified) {
    // The interface's bucket is charged only for what the source's admits.
    if (source.verified < 1.0F) return kIdDropOverRate;
    if (!idguard_Take(g.verified, kIdRateVerifiedInterface, nowMs)) return kIdDropOverRate;
    source.verified -= 1.0F;
    return kIdAnswerFull;
  }
  // Every answer to a group request, whichever, costs the source's group
  // budget: one request reaches every controller of the segment.
  if (d.kind == kIdRequestUnknown) {
    // Every unknown datagram prolongs its sender's silence.
    const bool quiet = source.lastUnknownMs == 0 || nowMs - source.lastUnknownMs >= kIdUnknownQuietMs;
    source.lastUnknownMs = nowMs != 0 ? nowMs : 1;
    if (!quiet) return kIdDropOverRate;
  }
  if (d.toGroup && source.group < 1.0F) return kIdDropOverRate;
  if (d.extension.present) {
    if (!idguard_Take(g.cookies, kIdRateCookie, nowMs)) return kIdDropOverRate;
    if (d.toGroup) source.group -= 1.0F;
    return kIdAnswerCookie;
  }
  const double bytes = static_cast<double>(idguard_ExpectedAnswerBytes(d.kind));
  // An answer no longer than its request amplifies nothing, so its source
  // is not charged; the interface is, for the work: a flood of padded
  // requests must not keep a listener building answers.
  const bool amplifies = bytes > static_cast<double>(d.length);
  if (amplifies && source.unverified < static_cast<float>(bytes)) return kIdDropOverRate;
  if (!idguard_Take(g.unverified, kIdRateUnverifiedInterface, nowMs, bytes)) return kIdDropOverRate;
  if (amplifies) source.unverified -= static_cast<float>(bytes);
  if (d.toGroup) source.group -= 1.0F;
  return kIdAnswerFull;
}

}  // namespace

IdGuard::IdGuard() {
  if (::getrandom(&hashKey, sizeof hashKey, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof hashKey))
    hashKey = static_cast<std::uint64_t>(idguard_NowMs()) * 0x9e3779b97f4a7c15ULL;
}

IdGuard::~IdGuard() = default;

long long idguard_NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool idguard_Take(IdTokenBucket& bucket, const IdRate& rate, long long nowMs, double cost) {
  if (bucket.tokens < 0) {
    bucket.tokens = rate.burst;
  } else if (nowMs > bucket.lastMs) {
    bucket.tokens += static_cast<double>(nowMs - bucket.lastMs) * rate.perSecond / 1000.0;
  }
  if (bucket.tokens > rate.burst) bucket.tokens = rate.burst;
  bucket.lastMs = nowMs;
  if (bucket.tokens < std::min(cost, rate.burst)) return false;
  bucket.tokens -= std::min(cost, bucket.tokens);
  return true;
}

std::size_t idguard_ExpectedAnswerBytes(IdRequestKind kind) {
  switch (kind) {
    case kIdRequestIdentification: return 1024;
    case kIdRequestNetwork: return 256;
    case kIdRequestStatus: return 512;
    case kIdRequestUnknown: break;
  }
  return 6;  // "CLOSED"
}

bool idguard_SilentPort(std::uint16_t port) {
  return port < 1024 || std::find(std::begin(kSilentPorts), std::end(kSilentPorts), port) != std::end(kSilentPorts);
}

IdGuardVerdict idguard_Check(IdGuard& g, const IdDatagram& d, long long nowMs) {
  const IdGuardVerdict verdict = Judge(g, d, nowMs);
  if (verdict == kIdDropAnswer || verdict == kIdDropOverRate) Count(g, verdict, nowMs);
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
