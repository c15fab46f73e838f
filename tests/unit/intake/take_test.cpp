#include "intake/take.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

// The writable descriptor of path, sent through a socket and closed: it is
// in flight, in no process's descriptor table, and can be received and
// written through later.
int gInFlight[2] = {-1, -1};
void SendInFlight(const std::string& path) {
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, gInFlight), 0);
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  char data = 'x';
  struct iovec iov = {&data, 1};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr msg {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
  ASSERT_EQ(::sendmsg(gInFlight[0], &msg, 0), 1);
  ::close(fd);
}
void CloseInFlight() {
  for (int& fd : gInFlight) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const struct dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(dir);
  }
  return names;
}

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

TEST_F(TakeTest, WhatIsNotAPlainDenseFileFreeOfOtherHoldersIsRefusedAndLeftWhereItWas) {
  const std::string outside = dir_.path() + "/outside";
  kvtest::WriteFile(outside, "system file");
  ::chmod(outside.c_str(), 0600);
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;  // puts the entry at path
    bool hold;                                          // a process holds it open while it is taken
    bool map;                                           // ... only mapped, its descriptor closed
    const char* message;
    off_t maxBytes = -1;  // the take's cap
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
      // A descriptor no process table shows: in flight through a socket.
      {"file whose writable descriptor is in flight",
       [&](const std::string& p) {
         Put(p.substr(watch_.size()), 0666);
         SendInFlight(p);
       },
       false, false, "is held open by another process"},
      // 1 GiB claimed, one page held: reading it would cost what the drop did not.
      {"sparse file",
       [&](const std::string& p) {
         Put(p.substr(watch_.size()), 0666);
         ASSERT_EQ(::truncate(p.c_str(), 1 << 30), 0);
       },
       false, false, "is sparse: it holds fewer bytes than its size"},
      {"folder with an entry",
       [](const std::string& p) {
         ASSERT_EQ(::mkdir(p.c_str(), 0777), 0);
         kvtest::WriteFile(p + "/inside", "x");
       },
       false, false, "is not a regular file with a single link"},
      // A signature beside its package is taken with a cap of a signature's size.
      {"file larger than the take's cap",
       [&](const std::string& p) {
         Put(p.substr(watch_.size()), 0666);
         kvtest::WriteFile(p, std::string(65537, 'A'));
       },
       false, false, "is larger than 65536 bytes", 65536},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "x" + std::to_string(i++) + ".ipk";
    c.make(watch_ + name);
    Holder* holder = c.hold ? new Holder(watch_ + name, c.map) : nullptr;
    const kv::Status taken = take_File(watch_ + name, work_ + name, true, c.maxBytes);
    delete holder;
    ASSERT_FALSE(taken) << c.what;
    EXPECT_EQ(taken.error().message(), c.message) << c.what;
    struct stat st {};
    EXPECT_NE(::lstat((work_ + name).c_str(), &st), 0) << c.what << ": nothing reaches the work folder";
    EXPECT_EQ(::lstat((watch_ + name).c_str(), &st), 0) << c.what << ": the entry stays where it was";
    if (S_ISREG(st.st_mode) && st.st_nlink == 1 && ::geteuid() == 0) {
      EXPECT_EQ(st.st_uid, kOther) << c.what << ": a busy file keeps its owner";
    }
  }
  CloseInFlight();
  EXPECT_TRUE(take_File(watch_ + "x6.ipk", work_ + "x6.ipk", true)) << "taken once nothing holds it";
  // Nothing that a link led to was changed.
  const struct stat st = Lstat(outside);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(kvtest::ReadFile(outside), "system file");
  EXPECT_FALSE(take_File(watch_ + "missing.ipk", work_ + "missing.ipk", true));
}

TEST_F(TakeTest, AFailedCopyAcrossFileSystemsLeavesNothingAndKeepsTheDrop) {
  Put("app.ipk", 0644);
  // Linking fails as between two file systems; the copy then meets a full disk.
  static const TakeOps kFull = {[](int, const void*, size_t) -> ssize_t {
                                  errno = ENOSPC;
                                  return -1;
                                },
                                [](int, const char*, int, const char*, int) {
                                  errno = EXDEV;
                                  return -1;
                                }};
  take_SetOps(&kFull);
  const kv::Status taken = take_File(watch_ + "app.ipk", work_ + "app.ipk", true);
  take_SetOps(nullptr);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().message(), "cannot be copied: no space left");
  EXPECT_EQ(Entries(work_), std::vector<std::string>{});
  EXPECT_EQ(kvtest::ReadFile(watch_ + "app.ipk"), "package bytes");

  // With room, the copy is the daemon's own file with exactly the bytes.
  static const TakeOps kOtherFs = {::write, [](int, const char*, int, const char*, int) {
                                     errno = EXDEV;
                                     return -1;
                                   }};
  take_SetOps(&kOtherFs);
  const kv::Status copied = take_File(watch_ + "app.ipk", work_ + "app.ipk", true);
  take_SetOps(nullptr);
  ASSERT_TRUE(copied);
  EXPECT_EQ(kvtest::ReadFile(work_ + "app.ipk"), "package bytes");
  EXPECT_EQ(Lstat(work_ + "app.ipk").st_uid, ::geteuid());
  EXPECT_FALSE(kvtest::FileExists(watch_ + "app.ipk"));
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
