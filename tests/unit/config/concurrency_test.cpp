// Loads of both configuration files from several threads while others copy
// snapshots out of the records. Run in a ThreadSanitizer build, any access
// outside the configuration lock is reported; in every build, a snapshot that
// mixes two loads fails the consistency checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/identity.h"
#include "config/netconfig.h"
#include "core/paths.h"
#include "support/capture.h"

namespace {

using kvtest::TempDir;
using kvtest::WriteFile;

constexpr int kLoaders = 3;
constexpr int kReaders = 3;
constexpr int kLoadsPerThread = 60;
constexpr int kSwaps = 120;

// Replaces path by content in one step, so a loader sees one version or the
// other, never half a file.
void Swap(const std::string& path, const std::string& content) {
  const std::string temp = path + ".tmp";
  WriteFile(temp, content);
  ASSERT_EQ(std::rename(temp.c_str(), path.c_str()), 0);
}

std::string AppConfig(char v) {
  const std::string s(1, v);
  return "[appconfig]\nswrevision = " + std::string(90, v) + "\nswrevshort = " + s + "\nname = " + s + "\n";
}

std::string NetConfig(char v, int mtu) {
  return "[netif0]\ndescription = " + std::string(40, v) + "\nMTUsize = " + std::to_string(mtu) +
         "\naddressv4 = 10.0.0." + std::to_string(mtu % 200) + "\n";
}

TEST(ConfigConcurrency, LoadsAndSnapshotsFromManyThreads) {
  TempDir dir;
  paths_SetRoot(dir.path());
  for (const char* d : {"/opt", "/opt/kv2", "/opt/kv2/etc"}) ::mkdir((dir.path() + d).c_str(), 0755);
  const std::string app = dir.path() + "/opt/kv2/etc/appname.config";
  const std::string net = dir.path() + "/opt/kv2/etc/netinterfaces.config";
  WriteFile(app, AppConfig('A'));
  WriteFile(net, NetConfig('A', 1000));
  config_SetIdDefaults();
  net_ResetConfig();
  ASSERT_EQ(LoadNetConfig(), 1);
  config_LoadIdData();

  std::atomic<bool> done{false};
  std::atomic<int> mixed{0};
  std::atomic<int> failedLoads{0};
  std::vector<std::thread> threads;

  threads.emplace_back([&] {
    for (int i = 0; i < kSwaps; ++i) {
      const bool b = (i % 2) == 0;
      Swap(app, AppConfig(b ? 'B' : 'A'));
      Swap(net, NetConfig(b ? 'B' : 'A', b ? 1100 : 1000));
    }
  });
  for (int t = 0; t < kLoaders; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kLoadsPerThread; ++i) {
        config_LoadIdData();
        if (LoadNetConfig() != 1) ++failedLoads;
      }
    });
  }
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&, t] {
      int rounds = 0;
      while (!done.load() || rounds < 10) {
        ++rounds;
        const DeviceIdData d = config_SnapshotIdData();
        const char v = d.swRevShort[0];
        if (d.swRevision != std::string(90, v) || d.name != std::string(1, v)) ++mixed;

        const NetIfConfig e = net_SnapshotConfig(0);
        const char w = e.description[0];
        const int mtu = w == 'A' ? 1000 : 1100;
        if (e.description != std::string(40, w) || e.mtu != mtu) ++mixed;

        // The formatting buffer is the thread's own.
        const std::uint32_t address = 0x01000000u * static_cast<std::uint32_t>(t) + 0x0A;
        const std::string expected = "10.0.0." + std::to_string(t);
        if (net_FormatAddressV4(address) != expected) ++mixed;
        config_SetSecurityFlags({1, static_cast<std::uint8_t>(t), 0, 0, 0, 0});
      }
    });
  }
  // Wait for the writer and the loaders, then let the readers finish.
  for (int i = 0; i < 1 + kLoaders; ++i) threads[static_cast<std::size_t>(i)].join();
  done = true;
  for (std::size_t i = 1 + kLoaders; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(mixed.load(), 0);
  EXPECT_EQ(failedLoads.load(), 0);
  paths_SetRoot("");
}

// Each thread keeps its own image revision text until its own next call.
TEST(ConfigConcurrency, ImageRevisionBufferIsPerThread) {
  TempDir dir;
  paths_SetRoot(dir.path());
  WriteFile(dir.path() + "/image_info", "image_version=7.1\n");
  const char* mine = config_GetImageRev();
  ASSERT_NE(mine, nullptr);
  const char* theirs = nullptr;
  std::thread other([&] {
    theirs = config_GetImageRev();
    EXPECT_STREQ(theirs, "7.1");
  });
  other.join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ(mine, "7.1");
  paths_SetRoot("");
}

}  // namespace
