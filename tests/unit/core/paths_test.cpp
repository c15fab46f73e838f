#include "core/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Paths, DeviceRootByDefaultAndPrefixWhenSandboxed) {
  unsetenv(kRootEnvironment);
  paths_Init();
  EXPECT_EQ(paths_IsSandboxed(), 0);
  EXPECT_STREQ(paths_WatchFolder(), "/opt/kv2/swfw/");
  EXPECT_EQ(paths_Device(devpath::kUpdateLog), "/opt/kv2/log/update.log");

  setenv(kRootEnvironment, "/tmp/sb-1/root//", 1);
  paths_Init();
  EXPECT_EQ(paths_IsSandboxed(), 1);
  EXPECT_EQ(paths_Root(), "/tmp/sb-1/root");
  EXPECT_STREQ(paths_WatchFolder(), "/tmp/sb-1/root/opt/kv2/swfw/");
  EXPECT_STREQ(paths_WorkFolder(), "/tmp/sb-1/root/home/root/");
  EXPECT_STREQ(paths_BundleFolder(), "/tmp/sb-1/root/home/root/bundle/");
  EXPECT_EQ(paths_Device(devpath::kTar), "/tmp/sb-1/root/bin/tar");

  setenv(kRootEnvironment, "", 1);
  paths_Init();
  EXPECT_EQ(paths_IsSandboxed(), 0);
  unsetenv(kRootEnvironment);
}

}  // namespace
