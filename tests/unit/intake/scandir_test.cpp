#include "intake/scandir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/paths.h"
#include "intake/dropsig.h"
#include "support/capture.h"

namespace {

int TypeOf(const std::string& text) { return scandir_CryTypeFromText(text.data(), text.size()); }

TEST(CryHeaderType, LinesAndValues) {
  struct Case {
    const char* what;
    std::string header;
    int kind;
  };
  const std::string tail = "PACKAGENAME: app\r\n\r\nfiller";
  const Case cases[] = {
      {"application container", "HEADERLENGTH: 512\r\nFILETYPE: APP-CRY\r\n" + tail, 1},
      {"bundle", "HEADERLENGTH: 512\r\nFILETYPE: UPDATE\r\n" + tail, 5},
      {"bundle after two blanks", "HEADERLENGTH: 512\r\nFILETYPE:  UPDATEFULL\r\n" + tail, 5},
      {"bundle, hyphenated", "HEADERLENGTH: 512\r\nFILETYPE UPDATE-FULL\r\n" + tail, 5},
      {"on the first line", "FILETYPE: APP-CRY\r\n" + tail, 1},
      {"unknown value", "HEADERLENGTH: 512\r\nFILETYPE: APP\r\n" + tail, 0},
      {"case counts", "HEADERLENGTH: 512\r\nfiletype: APP-CRY\r\n" + tail, 0},
      {"later line wins", "FILETYPE: APP-CRY\r\nFILETYPE: UPDATE\r\n" + tail, 5},
      {"line feeds only", "A: b\nC: d\nFILETYPE: APP-CRY\n\nfiller", 1},
      // A line-feed-only line is joined to the next up to a CR LF pair.
      {"mixed line ends skip a line", "A: b\r\nB: c\nFILETYPE: APP-CRY\r\nD: e\r\n\r\nfiller", 0},
      {"no line feed at all", "FILETYPE: APP-CRY", 0},
      {"last line without its end", "A: b\r\nFILETYPE: APP-CRY\r", 0},
      {"empty line ends the walk", "A: b\r\n\r\nFILETYPE: APP-CRY\r\n\r\n", 0},
      {"empty", "", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(TypeOf(c.header), c.kind) << c.what;
}

TEST(CryHeaderType, OnlyTheFirst500BytesCount) {
  const std::string early = "A: b\r\n" + std::string(470, 'x') + "\r\nFILETYPE: APP-CRY\r\n\r\n";
  std::string late = "A: b\r\n" + std::string(490, 'x') + "\r\nFILETYPE: APP-CRY\r\n\r\n";
  ASSERT_LT(early.find("\r\n\r\n"), 500u);
  EXPECT_EQ(TypeOf(early), 1);
  EXPECT_EQ(TypeOf(late), 0);
}

TEST(Blacklist, RefusesShellCharactersOnly) {
  for (const char* bad :
       {"a&b.ipk", "a\nb.ipk", "a\rb", "a|b", "a`b", "a'b", "a$b", "a%b", "a\"b", "a<b", "a>b", "a;b", "a*b"}) {
    EXPECT_EQ(scandir_CheckBlacklist(bad), 0) << bad;
  }
  for (const char* good : {"app_1.2-r0.ipk", "a b(1)+x,y=z~#.CRY", "IMAGE.CRY"}) {
    EXPECT_EQ(scandir_CheckBlacklist(good), 1) << good;
  }
}

TEST(Extension, TextAfterTheLastDot) {
  EXPECT_EQ(scandir_GetExtension("a.b.ipk"), "ipk");
  EXPECT_EQ(scandir_GetExtension("noext"), "");
  EXPECT_EQ(scandir_GetExtension("trailing."), "");
}

class ScanFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    watch_ = paths_WatchFolder();
    // The order of the scan, not the wait for signatures (its own test).
    ::setenv(kSignatureWaitEnvironment, "0", 1);
  }
  void TearDown() override {
    ::unsetenv(kSignatureWaitEnvironment);
    paths_SetRoot("");
  }
  void Put(const std::string& name, const std::string& content = "") { kvtest::WriteFile(watch_ + name, content); }
  kvtest::TempDir dir_;
  std::string watch_;
};

const char kAppHeader[] = "HEADERLENGTH: 512\r\nFILETYPE: APP-CRY\r\nPACKAGENAME: x\r\n\r\n..........";
const char kUnknownHeader[] = "HEADERLENGTH: 512\r\nPACKAGENAME: x\r\n\r\n..........";

TEST_F(ScanFolderTest, FileTypeByNameAndHeader) {
  Put("IMAGE_1.2.cry", kUnknownHeader);
  Put("image.cry", kUnknownHeader);
  Put("app.cry", kAppHeader);
  Put("app.CRY", kAppHeader);
  struct Case {
    const char* name;
    int kind;
  };
  const Case cases[] = {
      {"IMAGE.CRY", 3},  // not even opened: it need not exist
      {"IMAGE.CRYX", 3}, {"IMAGE_1.2.cry", 3}, {"image.cry", 0}, {"app.cry", 1}, {"app.CRY", 1},
      {"pkg.ipk", 2},    {"pkg.IPK", 2},       {"pkg.ipkx", 2},  {"x.txt", 0},   {"missing.cry", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(scandir_GetFileType(watch_.c_str(), c.name), c.kind) << c.name;
}

TEST_F(ScanFolderTest, LastNameInByteOrderIsClassifiedFirst) {
  char found[kFoundNameSize];
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 0);
  Put("a.ipk");
  Put("b.CRY", kAppHeader);
  Put("c.ipktmp");
  Put("d.sign64");
  Put("e");
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 1);
  EXPECT_STREQ(found, "b.CRY");
  std::remove((watch_ + "b.CRY").c_str());
  // Upper-case letters sort before lower-case ones: app.ipk is looked at first.
  Put("IMAGE.CRY");
  Put("app.ipk");
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 2);
  EXPECT_STREQ(found, "app.ipk");
  EXPECT_EQ(scandir_FindInstaller((watch_ + "missing/").c_str(), found, {"CRY", "IPK"}), 0);
}

TEST_F(ScanFolderTest, ADropWithoutItsSignatureIsPassedOverUntilItComes) {
  ::setenv(kSignatureWaitEnvironment, "30", 1);
  ::mkdir(paths_BundleFolder(), 0700);
  char found[kFoundNameSize];
  Put("b.ipk");
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 0) << "b.ipk waits for b.sign64";
  // The drop beside it whose signature is in the bundle folder goes on meanwhile.
  Put("a.ipk");
  kvtest::WriteFile(std::string(paths_BundleFolder()) + "a.sign64", "");
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 2);
  EXPECT_STREQ(found, "a.ipk");
  std::remove((watch_ + "a.ipk").c_str());
  Put("b.sign64");
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 2) << "its signature came";
  EXPECT_STREQ(found, "b.ipk");
  // Without a wait every drop goes on at once.
  Put("c.CRY", kAppHeader);
  ::setenv(kSignatureWaitEnvironment, "0", 1);
  EXPECT_EQ(scandir_FindInstaller(watch_.c_str(), found, {"CRY", "IPK"}), 1);
  EXPECT_STREQ(found, "c.CRY");
}

TEST_F(ScanFolderTest, ChecksumInTheNameIsComparedWithTheFile) {
  // md5 of "hello\n"
  const std::string sum = "b1946ac92492d2347c6235b4d2611184";
  Put("app_" + sum + ".CRY", "hello\n");
  (void)scandir_getCRYFileTypeFromHeader(watch_.c_str(), ("app_" + sum + ".CRY").c_str());
  EXPECT_EQ(std::string(scandir_GetChecksumRecord().fromName), sum);
  EXPECT_EQ(std::string(scandir_GetChecksumRecord().computed), sum);
  const std::string other = "00000000000000000000000000000000";
  Put("app_" + other + ".CRY", "hello\n");
  (void)scandir_getCRYFileTypeFromHeader(watch_.c_str(), ("app_" + other + ".CRY").c_str());
  EXPECT_STREQ(scandir_GetChecksumRecord().fromName, "");
  EXPECT_STREQ(scandir_GetChecksumRecord().computed, "");
}

}  // namespace
