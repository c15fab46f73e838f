#include "intake/take.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "intake/inuse.h"
#include "support/capture.h"

namespace {

constexpr uid_t kOther = 4242;

// A process that opens path (and, with map, maps it shared and closes the
// descriptor), then waits until it is killed.
class Holder {
 public:
  Holder(const std::string& path, bool map) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(path.c_str(), O_RDWR);
      if (map && fd >= 0) {
        (void)::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
      }
      (void)!::write(ready[1], "x", 1);
      for (;;) ::pause();
    }
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~Holder() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

 private:
  pid_t pid_ = -1;
};

struct stat Lstat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

class TakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watch_ = dir_.path() + "/watch/";
    work_ = dir_.path() + "/work/";
    ::mkdir(watch_.c_str(), 0770);
    ::mkdir(work_.c_str(), 0700);
  }
  // A file of another user (when the test may make one), as an attacker drops it.
  std::string Put(const std::string& name, mode_t mode) {
    const std::string path = watch_ + name;
    kvtest::WriteFile(path, "package bytes");
    ::chmod(path.c_str(), mode);
    if (::geteuid() == 0) {
      EXPECT_EQ(::chown(path.c_str(), kOther, kOther), 0);
    }
    return path;
  }
  kvtest::TempDir dir_;
  std::string watch_;
  std::string work_;
};

TEST_F(TakeTest, WhatArrivesIsAPlainFileOfTheDaemonsUserWithNoSpecialBits) {
  Put("app.ipk", 04777);
  ASSERT_TRUE(take_File(watch_ + "app.ipk", work_ + "app.ipk", true));
  const struct stat st = Lstat(work_ + "app.ipk");
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(kvtest::ReadFile(work_ + "app.ipk"), "package bytes");
  EXPECT_FALSE(kvtest::FileExists(watch_ + "app.ipk"));
}

TEST_F(TakeTest, WhatIsNotAPlainFileOrIsStillHeldIsRefusedAndRemoved) {
  const std::string outside = dir_.path() + "/outside";
  kvtest::WriteFile(outside, "system file");
  ::chmod(outside.c_str(), 0600);
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;  // puts the entry at path
    bool hold;                                          // a process holds it open while it is taken
    bool map;                                           // ... only mapped, its descriptor closed
    const char* message;
  };
  const Case cases[] = {
      {"symbolic link to a system file",
       [&](const std::string& p) { ASSERT_EQ(::symlink(outside.c_str(), p.c_str()), 0); }, false, false,
       "is not a regular file with a single link"},
      {"hard link to a system file", [&](const std::string& p) { ASSERT_EQ(::link(outside.c_str(), p.c_str()), 0); },
       false, false, "is not a regular file with a single link"},
      // Taken without waiting for a writer.
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }, false, false,
       "is not a regular file with a single link"},
      {"folder", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0777), 0); }, false, false,
       "is not a regular file with a single link"},
      // A descriptor opened before the move still reaches the file after it.
      {"file another process holds open", [&](const std::string& p) { Put(p.substr(watch_.size()), 0666); }, true,
       false, "is held open by another process"},
      {"file another process has mapped", [&](const std::string& p) { Put(p.substr(watch_.size()), 0666); }, true, true,
       "is held open by another process"},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "x" + std::to_string(i++) + ".ipk";
    c.make(watch_ + name);
    Holder* holder = c.hold ? new Holder(watch_ + name, c.map) : nullptr;
    const kv::Status taken = take_File(watch_ + name, work_ + name, true);
    delete holder;
    ASSERT_FALSE(taken) << c.what;
    EXPECT_EQ(taken.error().message(), c.message) << c.what;
    struct stat st {};
    EXPECT_NE(::lstat((work_ + name).c_str(), &st), 0) << c.what << ": what failed is removed again";
  }
  // Nothing that a link led to was changed.
  const struct stat st = Lstat(outside);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(kvtest::ReadFile(outside), "system file");
  EXPECT_FALSE(take_File(watch_ + "missing.ipk", work_ + "missing.ipk", true));
}

TEST(InUse, OwnDescriptorsDoNotCount) {
  kvtest::TempDir dir;
  const std::string path = dir.path() + "/f";
  kvtest::WriteFile(path, "x");
  const int fd = ::open(path.c_str(), O_RDONLY);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_FALSE(inuse_HeldByOthers(st));
  {
    Holder other(path, false);
    EXPECT_TRUE(inuse_HeldByOthers(st));
  }
  EXPECT_FALSE(inuse_HeldByOthers(st));
  ::close(fd);
}

}  // namespace
