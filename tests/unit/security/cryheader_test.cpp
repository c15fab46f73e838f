#include <gtest/gtest.h>

#include <string>

#include "config/identity.h"
#include "core/log.h"
#include "fixture.h"
#include "security/cryheader.h"
#include "security/decrypt.h"

namespace {

using sectest::CrLfHeader;

const std::string kFour =
    CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: all", "SWPART: 718233.004", "PACKAGENAME: app"});

class CryHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { config_SetPlatform(kImageTypeKv2Touch); }
  std::string Put(const std::string& name, const std::string& content) {
    const std::string path = dir_.path() + "/" + name;
    kvtest::WriteFile(path, content);
    return path;
  }
  kvtest::TempDir dir_;
};

TEST_F(CryHeaderTest, ScoresHeadersByTheirElements) {
  struct Case {
    const char* what;
    std::string content;
    int result;
    int offset;
  };
  const std::string filler(600, '\0');
  const Case cases[] = {
      {"four CR LF lines", kFour, 1, 512},
      {"own platform instead of all",
       CrLfHeader({"HEADERLENGTH: 100", "PLATFORMNAME: KV2_TOUCH", "SWPART: 1", "PACKAGENAME: a"}), 1, 100},
      {"another platform", CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: KORVEL_R", "SWPART: 1", "PACKAGENAME: a"}),
       -6, 0},
      // The platform matches whole: a longer or shorter name that begins
      // like the device's, or like "all", is another platform.
      {"a platform that begins with the device's",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: KV2_TOUCHX", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"a platform the device's begins with",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: KV2", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"a platform that begins with all",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: allx", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"platform names are case-sensitive",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: ALL", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"keys are case-sensitive", CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: all", "swpart: 1", "PACKAGENAME: a"}),
       -6, 0},
      {"HEADERLENGTH 1001 does not count",
       CrLfHeader({"HEADERLENGTH: 1001", "PLATFORMNAME: all", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"HEADERLENGTH 1000 counts",
       CrLfHeader({"HEADERLENGTH: 1000", "PLATFORMNAME: all", "SWPART: 1", "PACKAGENAME: a"}), 1, 1000},
      {"negative HEADERLENGTH does not count",
       CrLfHeader({"HEADERLENGTH: -5", "PLATFORMNAME: all", "SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"digits up to the first other character",
       CrLfHeader({"HEADERLENGTH: 64abc", "PLATFORMNAME: all", "SWPART: 1", "PACKAGENAME: a"}), 1, 64},
      {"SWPART four times, no HEADERLENGTH", CrLfHeader({"SWPART: 1", "SWPART: 2", "SWPART: 3", "SWPART: 4"}), 1, 0},
      {"a later HEADERLENGTH replaces the offset",
       CrLfHeader({"HEADERLENGTH: 512", "HEADERLENGTH: 300", "PLATFORMNAME: all", "SWPART: 1"}), 1, 300},
      {"separators colon, blank, colon alone",
       CrLfHeader({"HEADERLENGTH:256", "PLATFORMNAME all", "SWPART:1", "PACKAGENAME a"}), 1, 256},
      {"tab before the platform is skipped",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: \tKV2_TOUCH", "SWPART: 1", "PACKAGENAME: a"}), 1, 512},
      {"key without value does not count",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: all", "SWPART:", "PACKAGENAME: a"}), -6, 0},
      {"unknown keys are skipped",
       CrLfHeader(
           {"FILETYPE: APP-CRY", "HEADERLENGTH: 512", "X: y", "PLATFORMNAME: all", "SWPART: 1", "PACKAGENAME: a"}),
       1, 512},
      {"first line may end with a bare LF",
       "HEADERLENGTH: 512\nPLATFORMNAME: all\r\nSWPART: 1\r\nPACKAGENAME: a\r\n\r\n", 1, 512},
      {"LF-only lines after the first are not examined",
       "HEADERLENGTH: 512\nPLATFORMNAME: all\nSWPART: 1\nPACKAGENAME: a\n\n", -6, 0},
      {"a trailing line without CR LF is not examined",
       "HEADERLENGTH: 512\r\nPLATFORMNAME: all\r\nSWPART: 1\r\nPACKAGENAME: a", -6, 0},
      {"the header ends at the first empty line",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: all"}) + CrLfHeader({"SWPART: 1", "PACKAGENAME: a"}), -6, 0},
      {"only the first 100 characters of a line count",
       CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: all", "SWPART:" + std::string(95, ' ') + "1", "PACKAGENAME: a"}),
       -6, 0},
      {"a NUL ends the text",
       "HEADERLENGTH: 512\r\nPLATFORMNAME: all\r\n" + std::string(1, '\0') + "SWPART: 1\r\nPACKAGENAME: a\r\n\r\n", -6,
       0},
      {"lines past 999 bytes are not read", "X: " + std::string(990, 'x') + "\r\n" + kFour, -6, 0},
      {"no line feed at all", "HEADERLENGTH: 512 PLATFORMNAME: all SWPART: 1 PACKAGENAME: a", -6, 0},
      {"empty file", "", -6, 0},
      {"header followed by filler and payload", sectest::Container(kFour, 512, filler), 1, 512},
  };
  for (const Case& c : cases) {
    const std::string path = Put("app.CRY", c.content);
    int offset = 4711;
    EXPECT_EQ(Decrypt_CheckInstallerFile(&offset, path.c_str()), c.result) << c.what;
    EXPECT_EQ(offset, c.offset) << c.what;
  }
}

TEST_F(CryHeaderTest, UnknownDeviceMatchesOnlyAll) {
  config_SetPlatform(kImageTypeUnknown);
  struct Case {
    std::string content;
    int result;
  };
  const Case cases[] = {
      {kFour, 1},
      // The empty identifier of an unknown device must not match a platform
      // value that is nothing but white space.
      {CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME:\t", "SWPART: 1", "PACKAGENAME: a"}), -6},
      {CrLfHeader({"HEADERLENGTH: 512", "PLATFORMNAME: KV2_TOUCH", "SWPART: 1", "PACKAGENAME: a"}), -6},
  };
  for (const Case& c : cases) {
    int offset = 0;
    EXPECT_EQ(Decrypt_CheckInstallerFile(&offset, Put("app.cry", c.content).c_str()), c.result) << c.content;
  }
}

// Each device refuses a container for a platform whose name begins with its
// own (KORVEL_RX on a KORVEL_R device) and one whose name its own begins with.
TEST_F(CryHeaderTest, PlatformIdentifiersMatchWhole) {
  struct Case {
    int device;
    const char* platform;
    int result;
  };
  const Case cases[] = {
      {kImageTypeKorvelR, "KORVEL_R", 1},   {kImageTypeKorvelR, "KORVEL_RX", -6},    {kImageTypeKorvelR, "KORVEL_", -6},
      {kImageTypeKorvelSr, "KV_SR", 1},     {kImageTypeKorvelSr, "KV_SRX", -6},      {kImageTypeKorvelSr, "KV_S", -6},
      {kImageTypeKv2Touch, "KV2_TOUCH", 1}, {kImageTypeKv2Touch, "KV2_TOUCH_R", -6},
  };
  for (const Case& c : cases) {
    config_SetPlatform(c.device);
    int offset = 0;
    const std::string header =
        CrLfHeader({"HEADERLENGTH: 512", std::string("PLATFORMNAME: ") + c.platform, "SWPART: 1", "PACKAGENAME: a"});
    EXPECT_EQ(Decrypt_CheckInstallerFile(&offset, Put("app.CRY", header).c_str()), c.result) << c.platform;
  }
}

TEST_F(CryHeaderTest, NameRulesAndMissingFiles) {
  struct Case {
    const char* name;
    bool create;
    int result;
    int offset;  // 4711: untouched
  };
  const Case cases[] = {
      {"app.cry", true, 1, 512},         {"app.CRY", true, 1, 512},
      {"app.cry.v2", true, 1, 512},                                       // a substring test, not an extension test
      {"app.Cry", true, -1, 4711},                                        // other capitalisations do not match
      {"app.ipk", true, -1, 4711},       {"IMAGE.CRY", true, 3, 4711},    // the OS image is not opened
      {"IMAGE.CRY.part", true, 3, 4711}, {"IMAGE.CRY", false, -2, 4711},  // missing: -2 before anything else
      {"missing.cry", false, -2, 4711},
  };
  for (const Case& c : cases) {
    kvtest::TempDir dir;
    const std::string path = dir.path() + "/" + c.name;
    if (c.create) kvtest::WriteFile(path, kFour);
    int offset = 4711;
    EXPECT_EQ(Decrypt_CheckInstallerFile(&offset, path.c_str()), c.result) << c.name;
    EXPECT_EQ(offset, c.offset) << c.name;
  }
}

TEST_F(CryHeaderTest, LogsTheDocumentedLines) {
  kvtest::SyslogCapture syslog;
  if (!syslog.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  sectest::QuietVerbose(3);
  log_SetPriority(kPriorityNotice);
  const std::string good = Put("app.CRY", sectest::Container(kFour, 512, ""));
  int offset = 0;
  ASSERT_EQ(Decrypt_CheckInstallerFile(&offset, good.c_str()), 1);
  const std::vector<std::string> accepted = {
      "5|Decrypt_CheckInstallerFile, checking integrity of " + good,
      "5|Decrypt_CheckInstallerFile, opened infile successfully: " + good,
      "7|Decrypt_CheckInstallerFile, was a long-named file: app.CRY",
      "7|Decrypt_CheckInstallerFile, analysing header",
      "7|Decrypt_CheckInstallerFile, found: HEADERLENGTH=512",
      "7|Decrypt_CheckInstallerFile, found: PLATFORMNAME=all",
      "7|Decrypt_CheckInstallerFile, BREAK, no more lines, probably end of header",
      "5|Decrypt_CheckInstallerFile, cry->offset=512",
      "5|Decrypt_CheckInstallerFile, header OK",
  };
  EXPECT_EQ(sectest::Lines(syslog), accepted);

  const std::string fake = Put("fake.cry", "");
  ASSERT_EQ(Decrypt_CheckInstallerFile(&offset, fake.c_str()), -6);
  const std::vector<std::string> rejected = {
      "5|Decrypt_CheckInstallerFile, checking integrity of " + fake,
      "5|Decrypt_CheckInstallerFile, opened infile successfully: " + fake,
      "7|Decrypt_CheckInstallerFile, was a long-named file: fake.cry",
      "7|Decrypt_CheckInstallerFile, analysing header",
      "3|Decrypt_CheckInstallerFile, fake header: element missing ",
  };
  EXPECT_EQ(sectest::Lines(syslog), rejected);

  const std::string missing = dir_.path() + "/none.cry";
  ASSERT_EQ(Decrypt_CheckInstallerFile(&offset, missing.c_str()), -2);
  const std::vector<std::string> noFile = {
      "5|Decrypt_CheckInstallerFile, checking integrity of " + missing,
      "3|Decrypt_CheckInstallerFile, stat() failed, no file: " + missing,
  };
  EXPECT_EQ(sectest::Lines(syslog), noFile);
  sectest::QuietVerbose(1);
}

TEST(CryHeaderParse, HeaderLengthConvertsLikeAtoiAndClamps) {
  const std::pair<const char*, int> cases[] = {
      {"512", 512},
      {"0", 0},
      {"abc", 0},
      {"12ab", 12},
      {"-7", -7},
      {"+9", 9},
      {"\t42", 42},
      {"99999999999999999999", 2147483647},
      {"-99999999999999999999", -2147483647 - 1},
  };
  for (const auto& [token, value] : cases) EXPECT_EQ(cry_ParseHeaderLength(token), value) << token;
}

}  // namespace
