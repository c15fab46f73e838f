#include "core/restart.h"

#include <gtest/gtest.h>

#include "core/paths.h"

namespace {

// The real restart is never exercised: the test only runs with a sandbox root,
// where the daemon must end with its documented status instead.
TEST(RestartDeathTest, SandboxEndsWithTheDocumentedStatusInsteadOfRestarting) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  paths_SetRoot("/tmp/kv-restart-sandbox");
  ASSERT_EQ(paths_IsSandboxed(), 1);
  EXPECT_EXIT(platform_Restart(), ::testing::ExitedWithCode(kSandboxRestartExitStatus), "");
  paths_SetRoot("");
}

}  // namespace
