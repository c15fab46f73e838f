#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/log.h"
#include "core/paths.h"
#include "fixture.h"
#include "security/bulkio.h"
#include "security/sign.h"

namespace {

std::string SourceFile(const std::string& relative) {
  return kvtest::ReadFile(std::string(KV_SOURCE_DIR) + "/" + relative);
}

EVP_PKEY* LoadPrivate(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

std::string PublicPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, key);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return pem;
}

std::string RawSignature(EVP_PKEY* key, const std::string& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSignUpdate(ctx, data.data(), data.size());
  std::size_t n = 0;
  EVP_DigestSignFinal(ctx, nullptr, &n);
  std::string sig(n, '\0');
  EVP_DigestSignFinal(ctx, reinterpret_cast<unsigned char*>(sig.data()), &n);
  sig.resize(n);
  EVP_MD_CTX_free(ctx);
  return sig;
}

std::string Base64(const std::string& raw) {
  BIO* chain = BIO_push(BIO_new(BIO_f_base64()), BIO_new(BIO_s_mem()));
  BIO_write(chain, raw.data(), static_cast<int>(raw.size()));
  (void)BIO_flush(chain);
  char* data = nullptr;
  const long n = BIO_get_mem_data(BIO_next(chain), &data);
  std::string text(data, static_cast<std::size_t>(n));
  BIO_free_all(chain);
  return text;
}

std::string Unbase64(const std::string& text) {
  BIO* chain = BIO_push(BIO_new(BIO_f_base64()), BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  std::string raw(text.size(), '\0');
  const int n = BIO_read(chain, raw.data(), static_cast<int>(raw.size()));
  raw.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  BIO_free_all(chain);
  return raw;
}

class SignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_.reset(LoadPrivate(SourceFile("keys/development/development-ipksignkeyprivate.pem")));
    ASSERT_TRUE(key_);
    publicPem_ = SourceFile("keys/development/ipksignkeypublic.pem");
    paths_SetRoot(root_.path());
    std::filesystem::create_directories(paths_BundleFolder());
    std::filesystem::create_directories(paths_WatchFolder());
    kvtest::WriteFile(paths_Device(devpath::kPublicKey), publicPem_);
  }
  void TearDown() override { paths_SetRoot(""); }
  std::string Sign(const std::string& data) { return Base64(RawSignature(key_.get(), data)); }
  bool VerifyBytes(const std::string& data, const std::string& signatureText) {
    const std::string path = root_.path() + "/blob";
    kvtest::WriteFile(path, data);
    return sign_VerifyFile(publicPem_.c_str(), path.c_str(), static_cast<long>(data.size()), signatureText.c_str());
  }

  kvtest::TempDir root_;
  kv::Pkey key_;
  std::string publicPem_;
};

TEST_F(SignTest, VerifyPackageFindsItsFilesAndSaysWhy) {
  const std::string work = paths_WorkFolder();
  const std::string watch = paths_WatchFolder();
  const std::string bundle = paths_BundleFolder();
  const std::string keyPath = paths_Device(devpath::kPublicKey);
  const std::string package = sectest::Pattern(5000);
  kv::Pkey other(EVP_EC_gen("P-256"));

  struct Case {
    const char* what;
    const char* name;
    int mode;
    std::vector<std::pair<std::string, std::string>> files;  // path, content
    std::string key;                                         // key file content; "-" for none
    int result;
    std::string message;
    std::vector<std::string> fifos = {};  // paths that are FIFOs without a writer
    std::string sparse = {};              // a path extended by a hole to 64 GiB
  };
  const std::string good = Sign(package);
  const std::string huge(65537, 'A');
  const std::string truncated = Base64(Unbase64(good).substr(0, 255));
  const Case cases[] = {
      {"last extension cut",
       "app_1.2.ipk",
       2,
       {{work + "app_1.2.ipk", package}, {bundle + "app_1.2.sign64", good}},
       publicPem_,
       1,
       "Signature check, Signature OK!, Continuing installation"},
      {"mode 3 reads the watch folder",
       "IMAGE.CRY",
       3,
       {{watch + "IMAGE.CRY", package}, {bundle + "IMAGE.sign64", good}},
       publicPem_,
       1,
       "Signature check, Signature OK!, Continuing installation"},
      {"mode 3 does not read the work folder",
       "IMAGE.CRY",
       3,
       {{work + "IMAGE.CRY", package}, {bundle + "IMAGE.sign64", good}},
       publicPem_,
       0,
       "Signature check, file " + watch + "IMAGE.CRY not found, aborting installation!"},
      {"signature only beside the package",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {work + "app.sign64", good}},
       publicPem_,
       0,
       "Signature check, signature file " + bundle + "app.sign64 not found, aborting installation!"},
      {"name without full stop",
       "app",
       2,
       {{work + "app", package}, {bundle + "app.sign64", good}},
       publicPem_,
       0,
       "Signature check, signature file app with extension not found, aborting installation!"},
      {"no public key",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       "-",
       0,
       "Signature check, public key not found, Aborting installation!"},
      {"empty public key",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       "",
       0,
       "Unable to identify size of /home/root/.sign/ipksignkeypublic.pem!"},
      {"key file that is not PEM",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       "not a key\n",
       0,
       "Signature check, Bad signature!, Abort installation"},
      {"another key",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       PublicPem(other.get()),
       0,
       "Signature check, Bad signature!, Abort installation"},
      {"empty signature file",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", ""}},
       publicPem_,
       0,
       "Unable to identify size of signature file!"},
      {"signature of the wrong length",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", truncated}},
       publicPem_,
       0,
       "Signature check, Bad signature!, Abort installation"},
      {"empty package",
       "app.ipk",
       2,
       {{work + "app.ipk", ""}, {bundle + "app.sign64", Sign("")}},
       publicPem_,
       0,
       "Signature check, Bad signature!, Abort installation"},
      {"missing package",
       "app.ipk",
       2,
       {{bundle + "app.sign64", good}},
       publicPem_,
       0,
       "Signature check, file " + work + "app.ipk not found, aborting installation!"},
      // Nothing waits on a FIFO, and no file is read whole whatever its size.
      {"package that is a FIFO",
       "app.ipk",
       2,
       {{bundle + "app.sign64", good}},
       publicPem_,
       0,
       "Signature check, file " + work + "app.ipk is not a regular file, aborting installation!",
       {work + "app.ipk"}},
      {"signature file that is a FIFO",
       "app.ipk",
       2,
       {{work + "app.ipk", package}},
       publicPem_,
       0,
       "Signature check, signature file " + bundle +
           "app.sign64 is not a regular file of at most 65536 bytes, aborting installation!",
       {bundle + "app.sign64"}},
      {"signature file of more than 64 KiB",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good + huge}},
       publicPem_,
       0,
       "Signature check, signature file " + bundle +
           "app.sign64 is not a regular file of at most 65536 bytes, aborting installation!"},
      // Its size, not its cost: never hashed whole.
      {"package with a hole",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       publicPem_,
       0,
       "Signature check, file " + work +
           "app.ipk is sparse: it holds fewer bytes than its size, aborting installation!",
       {},
       work + "app.ipk"},
      {"public key of more than 64 KiB",
       "app.ipk",
       2,
       {{work + "app.ipk", package}, {bundle + "app.sign64", good}},
       publicPem_ + huge,
       0,
       "Signature check, public key is not a regular file of at most 65536 bytes, Aborting installation!"},
  };
  kvtest::SyslogCapture syslog;
  sectest::QuietVerbose(1);
  for (const Case& c : cases) {
    std::filesystem::remove_all(root_.path() + "/home");
    std::filesystem::remove_all(root_.path() + "/opt");
    std::filesystem::create_directories(bundle);
    std::filesystem::create_directories(watch);
    if (c.key != "-") kvtest::WriteFile(keyPath, c.key);
    for (const auto& [path, content] : c.files) kvtest::WriteFile(path, content);
    for (const std::string& path : c.fifos) ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << c.what;
    if (!c.sparse.empty()) {
      ASSERT_EQ(::truncate(c.sparse.c_str(), 64LL << 30), 0) << c.what;
    }
    (void)syslog.Drain();
    log_SetPriority(kPriorityNotice);
    EXPECT_EQ(sign_VerifyPackage(c.name, c.mode), c.result) << c.what;
    const kv::Status checked = sign_Check(c.name, c.mode);
    EXPECT_EQ(checked.ok() ? 1 : 0, c.result) << c.what;
    EXPECT_EQ(checked.ok() ? kSignatureOkLine : checked.error().message(), c.message) << c.what;
    if (syslog.available()) {
      EXPECT_EQ(sectest::Lines(syslog), std::vector<std::string>{"5|" + c.message}) << c.what;
    }
  }
}

// The whole stem names the signature: a package whose stem differs only past
// its 199th character has a signature of its own.
TEST_F(SignTest, TheWholeStemNamesTheSignature) {
  const std::string package = sectest::Pattern(3000);
  const std::string other = sectest::Pattern(3000, 2);
  for (const std::size_t stem : {199u, 200u, 248u}) {
    const std::string common(199, 's');
    const std::string name = common + std::string(stem - 199, 'a') + ".ipk";
    const std::string twin = common + std::string(stem - 199, 'b') + ".ipk";
    kvtest::WriteFile(paths_WorkFolder() + name, package);
    kvtest::WriteFile(paths_BundleFolder() + sign_SignatureName(name), Sign(package));
    EXPECT_EQ(sign_VerifyPackage(name.c_str(), kSignModeWorkFolder), 1) << stem;
    if (stem == 199) continue;  // the twin is the same name
    // Its twin, cut at 199 characters, would have been checked against the
    // first package's signature.
    kvtest::WriteFile(paths_WorkFolder() + twin, other);
    kvtest::WriteFile(paths_BundleFolder() + sign_SignatureName(twin), Sign(other));
    EXPECT_EQ(sign_VerifyPackage(twin.c_str(), kSignModeWorkFolder), 1) << stem;
    EXPECT_EQ(sign_VerifyWith(paths_WorkFolder() + twin, paths_BundleFolder() + sign_SignatureName(name)), 0) << stem;
  }
  EXPECT_EQ(sign_SignatureName("a.b.ipk"), "a.b.sign64");
  EXPECT_EQ(sign_SignatureName("noext"), "");
}

TEST_F(SignTest, VerifiesEveryByteOfAPackageWhateverItsLengthAgainstTheReadChunks) {
  // Lengths around the read chunk and around 16,384 bytes: the last byte and
  // the byte after each boundary count, and a package cut at a boundary is
  // refused.
  const std::size_t chunk = kBulkChunkSize;
  for (const std::size_t size : {std::size_t{16390}, chunk - 1, chunk, chunk + 1, 2 * chunk + 6}) {
    const std::string package = sectest::Pattern(size, static_cast<unsigned>(size));
    const std::string signature = Sign(package);
    EXPECT_TRUE(VerifyBytes(package, signature)) << size;
    for (const std::size_t at : {size - 1, std::min(size - 1, std::size_t{16384}), std::min(size - 1, chunk)}) {
      std::string changed = package;
      changed[at] = static_cast<char>(changed[at] ^ 1);
      EXPECT_FALSE(VerifyBytes(changed, signature)) << size << " changed at " << at;
    }
    EXPECT_FALSE(VerifyBytes(package.substr(0, std::min(size - 1, chunk)), signature)) << size;
  }
}

TEST_F(SignTest, EverySingleBitFlipOfPackageOrSignatureIsRefused) {
  const std::string package = sectest::Pattern(32, 5);
  const std::string raw = RawSignature(key_.get(), package);
  const std::string text = Base64(raw);
  ASSERT_TRUE(VerifyBytes(package, text));

  int accepted = 0;
  for (std::size_t bit = 0; bit < package.size() * 8; ++bit) {
    std::string flipped = package;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    accepted += VerifyBytes(flipped, text) ? 1 : 0;
  }
  EXPECT_EQ(accepted, 0) << "package flips accepted";

  accepted = 0;
  for (std::size_t bit = 0; bit < raw.size() * 8; ++bit) {
    std::string flipped = raw;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    accepted += VerifyBytes(package, Base64(flipped)) ? 1 : 0;
  }
  EXPECT_EQ(accepted, 0) << "signature flips accepted";

  // Flips of the Base64 text are refused unless the text still decodes to the
  // very same signature (bits Base64 does not use, or ignored characters).
  // The first line and the last two stand for all the lines between.
  const std::size_t lastLines = text.rfind('\n', text.rfind('\n', text.size() - 2) - 1);
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i <= 64; ++i) positions.push_back(i);
  for (std::size_t i = lastLines; i < text.size(); ++i) positions.push_back(i);
  int wrongly = 0;
  for (std::size_t bit = 0; bit < text.size() * 8; ++bit) {
    if (std::find(positions.begin(), positions.end(), bit / 8) == positions.end()) continue;
    std::string flipped = text;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    if (VerifyBytes(package, flipped) && Unbase64(flipped) != raw) ++wrongly;
  }
  EXPECT_EQ(wrongly, 0);
}

TEST_F(SignTest, AcceptsAnyKeyTypeThePemReaderTakes) {
  kv::Pkey ec(EVP_EC_gen("P-256"));
  const std::string package = sectest::Pattern(1000, 9);
  const std::string path = root_.path() + "/blob";
  kvtest::WriteFile(path, package);
  const std::string pem = PublicPem(ec.get());
  EXPECT_TRUE(sign_VerifyFile(pem.c_str(), path.c_str(), 1000, Base64(RawSignature(ec.get(), package)).c_str()));
  EXPECT_FALSE(
      sign_VerifyFile(publicPem_.c_str(), path.c_str(), 1000, Base64(RawSignature(ec.get(), package)).c_str()));
}

}  // namespace
