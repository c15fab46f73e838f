#include "core/statefile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/deadline.h"

namespace {

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

ssize_t FailWrite(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
// Writes a part and then fails, as a full disk does.
ssize_t ShortThenFail(int fd, const void* data, size_t n) {
  static bool wrote = false;
  if (!wrote && n > 1) {
    wrote = true;
    return ::write(fd, data, n / 2);
  }
  wrote = false;
  errno = ENOSPC;
  return -1;
}
int FailFsync(int) {
  errno = EIO;
  return -1;
}
int FailRename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

class StateFileTest : public ::testing::Test {
 protected:
  void TearDown() override { statefile_SetOps(nullptr); }
  std::string Path() const { return dir_.path() + "/allinfo.json"; }
  kvtest::TempDir dir_;
};

TEST_F(StateFileTest, ReplacesContentAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(statefile_Write(Path(), "[1,2,3]").ok());
  ASSERT_TRUE(statefile_Write(Path(), "[2]").ok());
  EXPECT_EQ(kvtest::ReadFile(Path()), "[2]");
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"allinfo.json"});
  struct stat st {};
  ASSERT_EQ(::stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Each step that can fail keeps the old content readable, reports the
// failure naming the step, and removes its temporary file.
TEST_F(StateFileTest, AFailingStepKeepsTheOldContent) {
  struct Case {
    const char* what;
    StateFileOps ops;
    int code;
  };
  const Case cases[] = {
      {"write", {FailWrite, ::fsync, ::rename}, ENOSPC},
      {"write", {ShortThenFail, ::fsync, ::rename}, ENOSPC},
      {"fsync", {::write, FailFsync, ::rename}, EIO},
      {"rename", {::write, ::fsync, FailRename}, EXDEV},
  };
  for (const Case& c : cases) {
    statefile_SetOps(nullptr);
    ASSERT_TRUE(statefile_Write(Path(), "[\"old\",\"members\"]").ok());
    statefile_SetOps(&c.ops);
    const kv::Status s = statefile_Write(Path(), std::string(100000, 'n'));
    ASSERT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.error().code(), c.code) << c.what;
    EXPECT_NE(s.error().message().find(c.what), std::string::npos) << s.error().message();
    EXPECT_NE(s.error().message().find(Path()), std::string::npos) << s.error().message();
    EXPECT_EQ(kvtest::ReadFile(Path()), "[\"old\",\"members\"]") << c.what;
    EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"allinfo.json"}) << c.what;
  }
}

// Another user's entry at the state file's name is replaced, never written
// through and never waited on.
TEST_F(StateFileTest, ALinkOrFifoAtThePathIsReplacedNotFollowed) {
  const std::string victim = dir_.path() + "/victim";
  kvtest::WriteFile(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), Path().c_str()), 0);
  ASSERT_TRUE(statefile_Write(Path(), "mine").ok());
  EXPECT_EQ(kvtest::ReadFile(victim), "precious");
  struct stat st {};
  ASSERT_EQ(::lstat(Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  const std::string fifo = dir_.path() + "/install.lock";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  {
    // Opening the FIFO (the writer, or the reading below when nothing
    // replaced it) would wait for the other side for ever.
    const kvtest::Deadline deadline(10, "statefile_Write over a FIFO");
    ASSERT_TRUE(statefile_Write(fifo, "timestamp: 1\n").ok());
  }
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  ASSERT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(kvtest::ReadFile(fifo), "timestamp: 1\n");
}

TEST_F(StateFileTest, LeftoversOfAKilledWriteAreRemoved) {
  const std::string left = dir_.path() + "/" + std::string(kStateTempPrefix) + "allinfo.json-a1b2c3";
  kvtest::WriteFile(left, "[");
  kvtest::WriteFile(Path(), "[]");
  EXPECT_EQ(statefile_RemoveLeftovers(dir_.path()), 1);
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"allinfo.json"});
  EXPECT_EQ(statefile_RemoveLeftovers(dir_.path() + "/missing"), 0);
}

}  // namespace
