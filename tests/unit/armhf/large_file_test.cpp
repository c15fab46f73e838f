// Files of 2 GiB and more: the OS image is listed, classified and checked by
// signature over its whole length, so nothing on its way may hold its size or
// position in 32 bits.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/handles.h"
#include "core/paths.h"
#include "intake/cleanup.h"
#include "intake/dropsig.h"
#include "intake/scandir.h"
#include "security/sign.h"
#include "support/capture.h"

namespace {

constexpr long long kGiB = 1024LL * 1024 * 1024;

// A sparse file of the given length: no disk space, the length is all that counts.
bool MakeSparse(const std::string& path, long long length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, static_cast<off_t>(length)) == 0;
  ::close(fd);
  return ok;
}

struct Length {
  const char* what;
  long long bytes;
};
const Length kLengths[] = {
    {"just under 2 GiB", 2 * kGiB - 1},
    {"2 GiB", 2 * kGiB},
    {"past 4 GiB (low 32 bits small)", 4 * kGiB + 512},
};

class LargeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    watch_ = paths_WatchFolder();
    std::filesystem::create_directories(watch_);
    // Sizes, not the wait for a signature.
    ::setenv(kSignatureWaitEnvironment, "0", 1);
  }
  void TearDown() override {
    ::unsetenv(kSignatureWaitEnvironment);
    paths_SetRoot("");
  }
  kvtest::TempDir dir_;
  std::string watch_;
};

TEST_F(LargeFileTest, LibraryCallsSeeTheWholeLength) {
  for (const Length& l : kLengths) {
    const std::string path = watch_ + "IMAGE.CRY";
    ASSERT_TRUE(MakeSparse(path, l.bytes)) << l.what;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << l.what;
    EXPECT_EQ(static_cast<long long>(st.st_size), l.bytes) << l.what;

    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr) << l.what;
    ASSERT_EQ(::fseeko(f, 0, SEEK_END), 0) << l.what;
    EXPECT_EQ(static_cast<long long>(::ftello(f)), l.bytes) << l.what;
    std::fclose(f);
  }
}

// The scan lists the folder with scandir and looks at each entry with lstat;
// either one failing with EOVERFLOW would hide the image.
TEST_F(LargeFileTest, ScanFindsAndClassifiesALargeImage) {
  for (const Length& l : kLengths) {
    ASSERT_TRUE(MakeSparse(watch_ + "IMAGE.CRY", l.bytes)) << l.what;
    char found[kFoundNameSize] = {};
    EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY"}), kInstallerImage) << l.what;
    EXPECT_STREQ(found, "IMAGE.CRY") << l.what;
  }
}

TEST_F(LargeFileTest, CleanupRemovesLargeArtefacts) {
  ASSERT_TRUE(MakeSparse(watch_ + "big.CRY", 4 * kGiB + 1));
  ASSERT_TRUE(MakeSparse(watch_ + "small.CRY", 10));
  EXPECT_EQ(scandir_Deletefiles(watch_.c_str(), "CRY"), 0);
  EXPECT_FALSE(kvtest::FileExists(watch_ + "big.CRY"));
  EXPECT_FALSE(kvtest::FileExists(watch_ + "small.CRY"));
}

std::string Sign(EVP_PKEY* key, const std::string& data) {
  kv::MdCtx ctx(EVP_MD_CTX_new());
  std::size_t n = 0;
  if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    return {};
  }
  std::string raw(n, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(raw.data()), &n,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    return {};
  }
  raw.resize(n);
  // Base64 in lines of 64 characters, as a .sign64 file holds it.
  kv::Bio chain(BIO_new(BIO_f_base64()));
  BIO* sink = BIO_new(BIO_s_mem());
  if (!chain || sink == nullptr) {
    BIO_free(sink);
    return {};
  }
  BIO_push(chain.get(), sink);
  BIO_write(chain.get(), raw.data(), static_cast<int>(raw.size()));
  (void)BIO_flush(chain.get());
  char* text = nullptr;
  const long length = BIO_get_mem_data(sink, &text);
  return std::string(text, static_cast<std::size_t>(length));
}

std::string PublicPem(EVP_PKEY* key) {
  kv::Bio bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PUBKEY(bio.get(), key);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

// The size handed to the verification only has to be non-zero. A size whose
// low 32 bits are zero (exactly 4 GiB) must not turn into 0 on the way and
// refuse a good image.
TEST_F(LargeFileTest, VerificationKeepsSizesPast32Bits) {
  kv::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  ASSERT_TRUE(key);
  const std::string data = "image payload\n";
  const std::string path = dir_.path() + "/image";
  kvtest::WriteFile(path, data);
  const std::string pem = PublicPem(key.get());
  const std::string signature = Sign(key.get(), data);
  ASSERT_FALSE(signature.empty());
  for (long long size : {1LL, 2 * kGiB, 4 * kGiB, 8 * kGiB + 1}) {
    EXPECT_TRUE(sign_VerifyFile(pem.c_str(), path.c_str(), size, signature.c_str())) << size;
  }
  EXPECT_FALSE(sign_VerifyFile(pem.c_str(), path.c_str(), 0, signature.c_str()));
}

}  // namespace
