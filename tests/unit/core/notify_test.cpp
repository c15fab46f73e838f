#include "core/notify.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "support/capture.h"

namespace {

using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

// A datagram socket in place of systemd's notification socket. sd_notify sends
// synchronously, so everything a call sent is queued when it returns.
class NotifySocket {
 public:
  NotifySocket() : path_(dir_.path() + "/notify") {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  [[nodiscard]] bool bound() const { return bound_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  std::vector<std::string> Drain() {
    std::vector<std::string> messages;
    char buffer[512];
    for (;;) {
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0) return messages;
      messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  kvtest::TempDir dir_;
  std::string path_;
  kv::Fd fd_;
  bool bound_ = false;
};

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(socket_.bound()); }
  void TearDown() override {
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) ::unsetenv(name);
    notify_Init();
  }
  // Starts as systemd would, with the watchdog interval given (none when null).
  void Supervise(const char* watchdogUsec, const char* watchdogPid = nullptr) {
    ::setenv("NOTIFY_SOCKET", socket_.path().c_str(), 1);
    if (watchdogUsec != nullptr) ::setenv("WATCHDOG_USEC", watchdogUsec, 1);
    if (watchdogPid != nullptr) ::setenv("WATCHDOG_PID", watchdogPid, 1);
    notify_Init();
  }
  NotifySocket socket_;
};

TEST_F(NotifyTest, WithoutNotificationSocketNothingIsSent) {
  ::setenv("WATCHDOG_USEC", "10000000", 1);
  notify_Init();
  EXPECT_EQ(notify_IsSupervised(), 0);
  EXPECT_EQ(notify_WatchdogInterval(), microseconds(0));
  notify_Ready();
  notify_Watchdog();
  { kv::WatchdogWidening widened(minutes(30)); }
  EXPECT_TRUE(socket_.Drain().empty());
}

TEST_F(NotifyTest, ReadinessAndPingsAreTheDocumentedMessages) {
  Supervise("10000000");
  EXPECT_EQ(notify_IsSupervised(), 1);
  EXPECT_EQ(notify_WatchdogInterval(), seconds(10));
  notify_Ready();
  notify_Watchdog();
  notify_Watchdog();
  EXPECT_EQ(socket_.Drain(), (std::vector<std::string>{"READY=1", "WATCHDOG=1", "WATCHDOG=1"}));
}

struct WideningCase {
  const char* name;
  const char* watchdogUsec;  // as systemd sets it; null: no watchdog
  const char* watchdogPid;   // null: not set
  microseconds interval;
  std::vector<std::string> expected;  // widening, restore, a second restore
};

class NotifyWideningTest : public NotifyTest, public ::testing::WithParamInterface<WideningCase> {};

TEST_P(NotifyWideningTest, WidensForTheStepAndRestoresTheConfiguredInterval) {
  const WideningCase& c = GetParam();
  Supervise(c.watchdogUsec, c.watchdogPid);
  { kv::WatchdogWidening widened(c.interval); }
  notify_RestoreWatchdog();
  EXPECT_EQ(socket_.Drain(), c.expected);
}

const std::string kOwnPid = std::to_string(::getpid());

INSTANTIATE_TEST_SUITE_P(
    Cases, NotifyWideningTest,
    ::testing::Values(WideningCase{"WiderThanConfigured",
                                   "600000000",
                                   nullptr,
                                   minutes(40),
                                   {"WATCHDOG=1\nWATCHDOG_USEC=2400000000", "WATCHDOG=1\nWATCHDOG_USEC=600000000"}},
                      WideningCase{"WatchdogForThisProcess",
                                   "600000000",
                                   kOwnPid.c_str(),
                                   minutes(40),
                                   {"WATCHDOG=1\nWATCHDOG_USEC=2400000000", "WATCHDOG=1\nWATCHDOG_USEC=600000000"}},
                      // Never narrower than the unit's interval.
                      WideningCase{"NarrowerThanConfigured", "600000000", nullptr, seconds(30), {}},
                      WideningCase{"NonPositive", "600000000", nullptr, microseconds(-1), {}},
                      // Without a watchdog an interval would switch one on.
                      WideningCase{"NoWatchdog", nullptr, nullptr, minutes(40), {}},
                      // The interval was meant for another process (a parent that passed
                      // its environment on), not for this one.
                      WideningCase{"WatchdogOfAnotherProcess", "600000000", "1", minutes(40), {}}),
    [](const ::testing::TestParamInfo<WideningCase>& param) { return std::string(param.param.name); });

}  // namespace
