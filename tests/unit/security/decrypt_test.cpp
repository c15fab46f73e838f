#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/statefile.h"
#include "fixture.h"
#include "security/crykey.h"
#include "security/decrypt.h"

namespace {

using sectest::Encrypt;
using sectest::Pattern;
using sectest::Plaintext;

constexpr std::size_t kChunk = kDecryptChunkSize;

// Runs the decryption core over an in-memory container.
struct CoreRun {
  std::optional<DecryptFailure> failure;  // none after a success
  DecryptedImage image;
  std::string plaintext;
};
CoreRun RunCore(const std::string& container, long offset) {
  kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
  EXPECT_TRUE(decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv()));
  kv::Fd in(::memfd_create("container", MFD_CLOEXEC));
  kv::Fd out(::memfd_create("plaintext", MFD_CLOEXEC));
  EXPECT_EQ(::write(in.get(), container.data(), container.size()), static_cast<ssize_t>(container.size()));
  CoreRun run;
  const auto stream = decrypt_Stream(ctx.get(), in.get(), offset, out.get());
  if (stream) {
    run.image = stream.value();
  } else {
    run.failure = stream.error().kind;
    run.image = stream.error().image;
  }
  run.plaintext.resize(static_cast<std::size_t>(::lseek(out.get(), 0, SEEK_END)));
  EXPECT_EQ(::pread(out.get(), run.plaintext.data(), run.plaintext.size(), 0),
            static_cast<ssize_t>(run.plaintext.size()));
  return run;
}

TEST(DecryptCore, WritesExactlyTheImageAcrossChunkBoundaries) {
  struct Case {
    const char* what;
    std::size_t image;
    std::size_t trailing;  // extra bytes after the padded payload
  };
  const Case cases[] = {
      {"20,000 bytes", 20000, 0},
      {"ends inside the first chunk", 1000, 0},
      {"ends exactly at the end of the first chunk", kChunk - 12, 0},
      {"ends at the end of the first chunk, more ciphertext follows", kChunk - 12, 48},
      {"ends exactly at the end of the second chunk", 2 * kChunk - 12, 0},
      {"three chunks", 2 * kChunk + 5000, 0},
      {"one trailing byte after the last full block", 20000, 1},
      {"fifteen trailing bytes", 20000, 15},
      {"trailing bytes form a read of their own", kChunk - 12, 15},
      {"empty image", 0, 0},
      {"5 x 16,384 + 100 bytes", 5 * 16384 + 100, 0},
      {"plaintext ends on a 16,384-byte boundary", 3 * 16384 - 12, 0},
      {"partial last block after several chunks", 2 * kChunk + 5000, 7},
  };
  for (const Case& c : cases) {
    const std::string image = Pattern(c.image, static_cast<unsigned>(c.image));
    const std::string payload = Encrypt(Plaintext(image)) + Pattern(c.trailing, 99);
    const std::string container = sectest::Container("H", 512, payload);
    const CoreRun run = RunCore(container, 512);
    EXPECT_EQ(run.failure, std::nullopt) << c.what;
    EXPECT_EQ(run.image.imageLength, c.image) << c.what;
    EXPECT_EQ(run.plaintext.size(), c.image) << c.what;
    EXPECT_TRUE(run.plaintext == image) << c.what;
  }
}

TEST(DecryptCore, RefusesPayloadsThatCannotHoldTheImage) {
  const std::string image = Pattern(20000);
  const std::string good = Encrypt(Plaintext(image));
  unsigned char otherKey[32] = {1, 2, 3};
  struct Case {
    const char* what;
    std::string container;
    long offset;
    DecryptFailure status;
  };
  const Case cases[] = {
      {"empty payload", std::string(512, 'h'), 512, DecryptFailure::kNoHeader},
      {"15-byte payload", std::string(512, 'h') + std::string(15, 'x'), 512, DecryptFailure::kNoHeader},
      {"offset at the end", std::string(512, 'h') + good, static_cast<long>(512 + good.size()),
       DecryptFailure::kNoHeader},
      {"offset past the end", std::string(512, 'h') + good, 100000, DecryptFailure::kNoHeader},
      {"negative offset", std::string(512, 'h') + good, -1, DecryptFailure::kSeekFailed},
      {"verificator 0", std::string(512, 'h') + Encrypt(Plaintext(image, 20000, 0)), 512,
       DecryptFailure::kVerificatorFailed},
      {"another key", std::string(512, 'h') + Encrypt(Plaintext(image), otherKey), 512,
       DecryptFailure::kVerificatorFailed},
      {"payload cut short", std::string(512, 'h') + good.substr(0, 16384), 512, DecryptFailure::kIncomplete},
      {"image length beyond the payload", std::string(512, 'h') + Encrypt(Plaintext(image, 30000, 0u - 30000u)), 512,
       DecryptFailure::kIncomplete},
  };
  for (const Case& c : cases) EXPECT_EQ(RunCore(c.container, c.offset).failure, c.status) << c.what;
}

TEST(DecryptCore, ReadAndWriteFailuresOfItsDescriptorsAreReportedNotTakenForTheEnd) {
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(3);
  kvtest::TempDir dir;
  const std::string container = Encrypt(Plaintext(Pattern(3 * kChunk + 100)));
  const std::string inPath = dir.path() + "/in";
  kvtest::WriteFile(inPath, container);
  struct Case {
    const char* what;
    kv::Fd in;
    kv::Fd out;
    DecryptFailure status;
    const char* line;  // expected among the lines, or null
  };
  Case cases[] = {
      {"the input is a folder", kv::Fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
       kv::Fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)), DecryptFailure::kReadFailed, nullptr},
      {"the output is full", kv::Fd(::open(inPath.c_str(), O_RDONLY | O_CLOEXEC)),
       kv::Fd(::open("/dev/full", O_WRONLY | O_CLOEXEC)), DecryptFailure::kWriteFailed,
       "DeCrypt, write to outfile .IPKTMP failed"},
      {"the output is open for reading only", kv::Fd(::open(inPath.c_str(), O_RDONLY | O_CLOEXEC)),
       kv::Fd(::open(inPath.c_str(), O_RDONLY | O_CLOEXEC)), DecryptFailure::kWriteFailed,
       "DeCrypt, write to outfile .IPKTMP failed"},
  };
  for (Case& c : cases) {
    ASSERT_TRUE(c.in && c.out) << c.what;
    (void)syslog.Drain();
    kv::CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_TRUE(decrypt_InitCipher(ctx.get(), crykey_Assemble(), crykey_GetIv()));
    const auto o = decrypt_Stream(ctx.get(), c.in.get(), 0, c.out.get());
    ASSERT_FALSE(o.ok()) << c.what;
    EXPECT_EQ(o.error().kind, c.status) << c.what;
    EXPECT_EQ(o.error().image.written, 0u) << c.what;
    if (c.line == nullptr || !syslog.available()) continue;
    const std::vector<std::string> lines = sectest::Lines(syslog);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(c.line) != std::string::npos; }),
              1)
        << c.what;
  }
  sectest::QuietVerbose(1);
}

TEST(DecryptCore, EveryBitFlipOfTheFirstBlockBreaksTheVerificationHeader) {
  // The first cipher block carries the image length and verificator: a
  // flipped bit there scrambles the whole block, so the sum no longer vanishes.
  const std::string image = Pattern(100);
  const std::string payload = Encrypt(Plaintext(image));
  int accepted = 0;
  for (std::size_t bit = 0; bit < 16 * 8; ++bit) {
    std::string flipped = payload;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    if (!RunCore(flipped, 0).failure) ++accepted;
  }
  EXPECT_EQ(accepted, 0);
}

// --- DeCrypt itself, with the fixed waits recorded instead of spent ---

// Extends the file at path with a hole to 64 GiB: its size, not its cost.
std::string Sparse(const std::string& path) {
  EXPECT_EQ(::truncate(path.c_str(), 64LL << 30), 0);
  return path;
}

std::vector<long> gWaits;
void RecordWait(long microseconds) { gWaits.push_back(microseconds); }

class DeCryptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(root_.path());
    watch_ = paths_WatchFolder();
    std::filesystem::create_directories(watch_);
    gWaits.clear();
    decrypt_SetSettleHook(RecordWait);
  }
  void TearDown() override {
    decrypt_SetSettleHook(nullptr);
    paths_SetRoot("");
    sectest::QuietVerbose(1);
  }
  std::string PutContainer(const std::string& name, const std::string& payload, std::size_t offset = 512) {
    const std::string path = watch_ + name;
    kvtest::WriteFile(path, sectest::Container("HEADERLENGTH: 512\r\n\r\n", offset, payload));
    return path;
  }
  kvtest::TempDir root_;
  std::string watch_;
};

TEST_F(DeCryptTest, DecryptsVerifiesAndCopiesTheImageBesideTheContainer) {
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(3);
  log_SetPriority(kPriorityNotice);
  const std::string image = Pattern(20000, 7);
  const std::string path = PutContainer("app.v2.CRY", Encrypt(Plaintext(image)) + "tail");

  EXPECT_EQ(DeCrypt(path.c_str(), watch_.c_str(), 512), 0);
  EXPECT_TRUE(kvtest::ReadFile(watch_ + "app.v2.ipk") == image);
  EXPECT_TRUE(kvtest::ReadFile(watch_ + "INSTALLER.IPKTMP") == image);  // left for the caller
  // The package is the written plaintext itself, not a second write of it.
  struct stat package {
  }, temporary{};
  ASSERT_EQ(::lstat((watch_ + "app.v2.ipk").c_str(), &package), 0);
  ASSERT_EQ(::lstat((watch_ + "INSTALLER.IPKTMP").c_str(), &temporary), 0);
  EXPECT_EQ(package.st_ino, temporary.st_ino);
  EXPECT_EQ(gWaits, (std::vector<long>{2000000, 1000000, 1000000}));

  if (!syslog.available()) return;
  const std::string command = "cp -p '" + watch_ + "INSTALLER.IPKTMP' '" + watch_ + "app.v2.ipk'";
  const std::vector<std::string> expected = {
      "7|DeCrypt, offset=512",
      "5|DeCrypt, Verificator OK. !!!",
      "7|DeCrypt, Verificator tHead-imagelength: 20000d ",
      "7|DeCrypt, Verificator tHead->verificator: 4294947296d ",
      "7|DeCrypt, Verificator + imagelength: 0d (sb=0)",
      "7|DeCrypt, Verificator offsetlength: 512d ",
      "5|DeCrypt OK!",
      "5|DeCrypt :" + command,
  };
  EXPECT_EQ(sectest::Lines(syslog), expected);
}

TEST_F(DeCryptTest, VerificatorFailureLogsFiveLinesAndReleasesWithoutWaiting) {
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(3);
  log_SetPriority(kPriorityNotice);
  const std::string path = PutContainer("bad.cry", Encrypt(Plaintext(Pattern(20000), 20000, 0)));

  EXPECT_EQ(DeCrypt(path.c_str(), watch_.c_str(), 512), -1);
  EXPECT_FALSE(kvtest::FileExists(watch_ + "bad.ipk"));
  EXPECT_TRUE(gWaits.empty());
  if (!syslog.available()) return;
  const std::vector<std::string> expected = {
      "7|DeCrypt, offset=512",
      "5|DeCrypt, Verificator failed. Abort loading ",
      "5|DeCrypt, Verificator tHead-imagelength: 20000d ",
      "5|DeCrypt, Verificator tHead->verificator: 0d ",
      "5|DeCrypt, Verificator + imagelength: 20000d (sb=0)",
      "5|DeCrypt, Verificator offsetlength: 512d ",
  };
  EXPECT_EQ(sectest::Lines(syslog), expected);
}

TEST_F(DeCryptTest, FailuresReturnMinusOneAndProduceNoPackage) {
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(3);
  const std::string good = Encrypt(Plaintext(Pattern(3000)));
  const std::string fifo = watch_ + "fifo.cry";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

  struct Case {
    const char* what;
    std::string path;
    std::string folder;
    int offset;
    std::vector<long> waits;
    const char* line;       // expected among the lines ({path}: the container's), or null
    bool fillsUp = false;   // the output can take no more than 1 KiB (a full disk)
    bool noOutput = false;  // refused before the temporary output is created
  };
  const Case cases[] = {
      {"payload shorter than a block", PutContainer("short.cry", "0123456789"), watch_, 512, {2000000}, nullptr},
      {"offset at the end",
       PutContainer("end.cry", good),
       watch_,
       512 + static_cast<int>(good.size()),
       {2000000},
       nullptr},
      {"offset past the end", PutContainer("past.cry", good), watch_, 999999, {2000000}, nullptr},
      // What the header claims must fit in what the container holds: refused
      // before the output exists.
      {"payload cut short",
       PutContainer("cut.cry", good.substr(0, 1024)),
       watch_,
       512,
       {},
       "DeCrypt, {path} claims an image of 3000 bytes, but its payload holds at most 1012, not decrypted",
       false,
       true},
      {"header claims 1 GiB",
       PutContainer("huge.cry", Encrypt(Plaintext(Pattern(3000), 1u << 30, 0u - (1u << 30)))),
       watch_,
       512,
       {},
       "DeCrypt, {path} claims an image of 1073741824 bytes, but its payload holds at most 3012, not decrypted",
       false,
       true},
      // 64 GiB that cost a few KiB: not read at all.
      {"sparse container",
       Sparse(PutContainer("holes.cry", Encrypt(Plaintext(Pattern(3000), 0xFFFFFFF0u, 16u)))),
       watch_,
       512,
       {},
       "DeCrypt, {path} is sparse: it holds fewer bytes than its size, not decrypted",
       false,
       true},
      {"missing container", watch_ + "none.cry", watch_, 512, {}, "DeCrypt, Can't open infile .CRY"},
      {"missing output folder",
       PutContainer("nofolder.cry", good),
       watch_ + "nowhere/",
       512,
       {},
       "DeCrypt- Can't open outfile .IPKTMP"},
      {"output that fills up",
       PutContainer("full.cry", good),
       watch_,
       512,
       {2000000},
       "DeCrypt, write to outfile .IPKTMP failed",
       true},
      // Opened without waiting for a writer, and refused.
      {"container that is a FIFO", fifo, watch_, 512, {}, "DeCrypt, Can't open infile .CRY"},
  };
  struct rlimit unlimited {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  for (const Case& c : cases) {
    gWaits.clear();
    (void)syslog.Drain();
    struct rlimit limit = unlimited;
    if (c.fillsUp) limit.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::remove((c.folder + "INSTALLER.IPKTMP").c_str());
    EXPECT_EQ(DeCrypt(c.path.c_str(), c.folder.c_str(), c.offset), -1) << c.what;
    if (c.noOutput) {
      EXPECT_FALSE(kvtest::FileExists(c.folder + "INSTALLER.IPKTMP")) << c.what;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    EXPECT_EQ(gWaits, c.waits) << c.what;
    std::string base = c.path.substr(c.path.rfind('/') + 1);
    base.resize(base.rfind('.'));
    EXPECT_FALSE(kvtest::FileExists(c.folder + base + ".ipk")) << c.what;
    if (!syslog.available()) continue;
    const std::vector<std::string> lines = sectest::Lines(syslog);
    std::string line = c.line != nullptr ? c.line : "";
    if (const std::size_t at = line.find("{path}"); at != std::string::npos) line.replace(at, 6, c.path);
    bool found = c.line == nullptr;
    for (const std::string& l : lines) {
      found = found || l.find(line) != std::string::npos;
      // A short payload never reaches the cipher or the verificator.
      EXPECT_EQ(l.find("Verificator"), std::string::npos) << c.what << ": " << l;
      EXPECT_EQ(l.find("Decrypterr"), std::string::npos) << c.what << ": " << l;
    }
    EXPECT_TRUE(found) << c.what;
  }
}

int RenameFails(const char*, const char*) {
  errno = EIO;
  return -1;
}

TEST_F(DeCryptTest, ACopyThatIsRefusedOrFailsFailsTheStep) {
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(3);
  const std::string payload = Encrypt(Plaintext(Pattern(3000)));
  const StateFileOps failing = {::write, ::fsync, RenameFails};
  struct Case {
    const char* what;
    const char* container;
    const StateFileOps* ops;
    const char* line;
  };
  const Case cases[] = {
      // The package name could be carried by no command line of the steps
      // that follow: the device would lose the package.
      {"name the command runner refuses", "app(1).cry", nullptr, "Illegal character ( in command: "},
      {"the package's name cannot be given", "full.cry", &failing, "DeCrypt, copy to "},
      {"a folder at the package's name", "dir.cry", nullptr, "DeCrypt, copy to "},
  };
  std::filesystem::create_directories(watch_ + "dir.ipk");
  for (const Case& c : cases) {
    gWaits.clear();
    (void)syslog.Drain();
    statefile_SetOps(c.ops);
    const std::string path = PutContainer(c.container, payload);
    EXPECT_EQ(DeCrypt(path.c_str(), watch_.c_str(), 512), -1) << c.what;
    statefile_SetOps(nullptr);
    EXPECT_EQ(gWaits, (std::vector<long>{2000000, 1000000})) << c.what;
    std::string base = c.container;
    base.resize(base.rfind('.'));
    struct stat st {};
    EXPECT_FALSE(::lstat((watch_ + base + ".ipk").c_str(), &st) == 0 && S_ISREG(st.st_mode)) << c.what;
    if (!syslog.available()) continue;
    const std::vector<std::string> lines = sectest::Lines(syslog);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(c.line) != std::string::npos;
    })) << c.what;
  }
  EXPECT_TRUE(std::filesystem::is_empty(watch_ + "dir.ipk"));
}

TEST(CryKey, AssemblesTheProvisionedKey) {
  if (crykey_IsDevelopment() == 0) GTEST_SKIP() << "built with a product key";
  std::ifstream in(std::string(KV_SOURCE_DIR) + "/keys/development/development-cry.key");
  std::string line;
  std::string key;
  std::string iv;
  while (std::getline(in, line)) {
    if (line.rfind("key=", 0) == 0) key = line.substr(4);
    if (line.rfind("iv=", 0) == 0) iv = line.substr(3);
  }
  auto hex = [](const unsigned char* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02x", p[i]);
      s += b;
    }
    return s;
  };
  EXPECT_EQ(hex(crykey_Assemble(), kCryKeySize), key);
  EXPECT_EQ(hex(crykey_GetIv(), kCryIvSize), iv);
}

}  // namespace
