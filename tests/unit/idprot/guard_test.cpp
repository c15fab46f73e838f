// The answer budgets of a listener, against a seeded generator of datagram
// mixes: whatever arrives, an unverified source never gets more answer bytes
// than its budget allows (and all of them together no more than the
// interface's), a verified source within its own budget is always answered,
// answers and service ports get nothing, and an unknown sender is answered
// once per quiet spell. KV_GUARD_SEED replays one mix.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "idprot/idcookie.h"
#include "idprot/idguard.h"
#include "idprot/idrequest.h"

namespace {

sockaddr_in6 Source(unsigned n, std::uint16_t port) {
  sockaddr_in6 s{};
  s.sin6_family = AF_INET6;
  s.sin6_port = htons(port);
  s.sin6_addr.s6_addr[0] = 0xfd;
  s.sin6_addr.s6_addr[12] = static_cast<std::uint8_t>(n >> 24);
  s.sin6_addr.s6_addr[13] = static_cast<std::uint8_t>(n >> 16);
  s.sin6_addr.s6_addr[14] = static_cast<std::uint8_t>(n >> 8);
  s.sin6_addr.s6_addr[15] = static_cast<std::uint8_t>(n);
  return s;
}

struct Sent {
  double bytes = 0;
  double answers = 0;
};

// Budget after t milliseconds of a bucket that starts full.
double Allowed(const IdRate& rate, long long ms) {
  return rate.burst + rate.perSecond * static_cast<double>(ms) / 1000.0;
}

TEST(IdGuard, BucketsNeverHoldMoreThanTheirBurst) {
  // A quiet hour saves up no more than one burst, for the interface and for
  // a source alike.
  IdGuard g;
  const sockaddr_in6 victim = Source(7, 40000);
  IdDatagram d;
  d.sender = victim;
  d.data = "IDREQ";
  d.length = 6;
  d.kind = kIdRequestIdentification;
  long long now = 1000;
  while (idguard_Check(g, d, now) == kIdAnswerFull) {
  }
  now += 3600 * 1000;
  int admitted = 0;
  for (int i = 0; i < 1000; ++i) admitted += idguard_Check(g, d, now) == kIdAnswerFull ? 1 : 0;
  EXPECT_EQ(admitted, static_cast<int>(kIdRateUnverifiedSource.burst) /
                          static_cast<int>(idguard_ExpectedAnswerBytes(kIdRequestIdentification)));
  IdTokenBucket b;
  EXPECT_TRUE(idguard_Take(b, kIdRateCookie, 0));
  int taken = 0;
  for (int i = 0; i < 100000 && idguard_Take(b, kIdRateCookie, 3600 * 1000); ++i) ++taken;
  EXPECT_EQ(taken, static_cast<int>(kIdRateCookie.burst));
}

TEST(IdGuard, GeneratedMixesKeepTheBudgets) {
  const char* fixed = std::getenv("KV_GUARD_SEED");
  const unsigned first = fixed != nullptr ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10)) : 1;
  const unsigned runs = fixed != nullptr ? 1 : 40;
  for (unsigned seed = first; seed < first + runs; ++seed) {
    SCOPED_TRACE("KV_GUARD_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    IdGuard g;
    g.hashKey = seed;  // the table's sets as in the replay
    // A few sources, or a forged multitude (which pushes sources out of the
    // table: they start afresh, so the bounds per source are checked only
    // while a handful share it).
    const unsigned sources = rng() % 2 == 0 ? 1 + rng() % 64 : 1 + rng() % 20000;
    const unsigned honest = sources + 1;  // proves its address, asks 10 a second
    const long long start = 5000;
    long long now = start;
    std::map<unsigned, Sent> unverified;
    double unverifiedTotal = 0;
    Sent honestGot;
    int honestAsked = 0;
    std::map<unsigned, long long> lastUnknown;
    const int datagrams = 2000 + static_cast<int>(rng() % 30000);
    for (int i = 0; i < datagrams; ++i) {
      now += static_cast<long long>(rng() % 3);  // up to thousands a second
      IdDatagram d;
      const unsigned who = rng() % sources;
      const std::uint16_t port =
          rng() % 50 == 0 ? static_cast<std::uint16_t>(rng() % 1024) : static_cast<std::uint16_t>(1024 + rng() % 60000);
      d.sender = Source(who, port);
      d.kind = static_cast<IdRequestKind>(rng() % 4);
      d.length = 1 + rng() % 1200;  // some padded beyond their answer
      d.toGroup = rng() % 4 == 0;
      d.extension.present = d.kind != kIdRequestUnknown && rng() % 3 == 0;
      d.verified = false;
      const bool answer = rng() % 40 == 0;
      static const std::string kAnswer = "IDRSP" + std::string(1200, 'x');
      static const std::string kOther(1200, 'x');
      d.data = answer ? kAnswer.data() : kOther.data();
      if (answer && d.length < 5) d.length = 5;
      const IdGuardVerdict v = idguard_Check(g, d, now);
      if (answer || idguard_SilentPort(port)) {
        ASSERT_TRUE(v == kIdDropAnswer) << i;
        continue;
      }
      if (v == kIdAnswerCookie) {
        ASSERT_TRUE(d.extension.present);
        ASSERT_LT(kIdCookieAnswerSize, 6 + kIdExtensionSize);  // shorter than any extended request
        continue;
      }
      if (v == kIdAnswerFull && d.kind == kIdRequestUnknown && sources <= 64) {
        // One "CLOSED" per quiet spell of a sender.
        auto it = lastUnknown.find(who);
        ASSERT_TRUE(it == lastUnknown.end() || now - it->second >= kIdUnknownQuietMs) << i;
      }
      if (d.kind == kIdRequestUnknown) lastUnknown[who] = now;
      if (v == kIdAnswerFull) {
        const double bytes = static_cast<double>(idguard_ExpectedAnswerBytes(d.kind));
        if (bytes > static_cast<double>(d.length)) unverified[who].bytes += bytes;
        // Answers no longer than their requests amplify nothing but are
        // work: the interface's budget bounds them too.
        unverifiedTotal += bytes;
        if (sources <= 64) {
          ASSERT_LE(unverified[who].bytes, Allowed(kIdRateUnverifiedSource, now - start)) << i;
        }
        ASSERT_LE(unverifiedTotal, Allowed(kIdRateUnverifiedInterface, now - start)) << i;
      }
      // Every tenth of a second the verified client asks; the flood cannot
      // take its answer.
      if (i % 50 == 0) {
        IdDatagram h;
        h.sender = Source(honest, 5000);
        h.kind = kIdRequestStatus;
        h.length = 15 + kIdExtensionSize;
        h.data = "IDUPDATESTATUS";
        h.extension.present = true;
        h.verified = true;
        ++honestAsked;
        if (idguard_Check(g, h, now) == kIdAnswerFull) honestGot.answers += 1;
      }
    }
    EXPECT_EQ(honestGot.answers, honestAsked);
  }
}

TEST(IdGuard, CookiesBelongToTheirAddressAndMinute) {
  const in6_addr a = Source(1, 0).sin6_addr;
  const in6_addr b = Source(2, 0).sin6_addr;
  std::uint8_t cookie[kIdCookieSize];
  idcookie_Make(a, 600000, cookie);
  EXPECT_TRUE(idcookie_Valid(a, cookie, 600000));
  EXPECT_TRUE(idcookie_Valid(a, cookie, 600000 + kIdCookieSlotMs));  // the next slot too
  EXPECT_FALSE(idcookie_Valid(a, cookie, 600000 + 2 * kIdCookieSlotMs));
  EXPECT_FALSE(idcookie_Valid(b, cookie, 600000));
  const std::uint8_t zero[kIdCookieSize] = {};
  EXPECT_FALSE(idcookie_Valid(a, zero, 600000));
}

TEST(IdRequest, ExtensionFollowsTheFixedPart) {
  const std::string ext = std::string("KVX1") + std::string(16, 'c') + std::string(8, 'n');
  struct Case {
    std::string request;
    bool present;
  };
  const Case cases[] = {
      {std::string("IDREQ\0", 6) + ext, true},
      {std::string("BURNR\0IDREQ\0", 12) + ext, true},
      {std::string("BURNR\0", 6) + ext, true},
      {std::string("IDUPDATESTATUS\0", 15) + ext + "padding", true},
      {std::string("IDREQ\0", 6) + ext.substr(0, 27), false},  // too short
      {std::string("IDREQ\0x", 7) + ext, false},               // not right behind the fixed part
      {std::string("BURNR\0IDREQ\0", 12) + "KVX2" + ext.substr(4), false},
      {"junk" + ext, false},
  };
  for (const Case& c : cases) {
    const IdRequestKind kind = IdProt_ClassifyRequest(c.request.data(), c.request.size());
    const IdExtension e = IdProt_ParseExtension(c.request.data(), c.request.size(), kind);
    EXPECT_EQ(e.present, c.present) << c.request;
    if (e.present) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.nonce), 8), "nnnnnnnn");
    }
  }
}

}  // namespace
