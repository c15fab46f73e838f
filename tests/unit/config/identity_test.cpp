#include "config/identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "support/capture.h"

namespace {

using kvtest::StdoutCapture;
using kvtest::SyslogCapture;
using kvtest::TempDir;
using kvtest::WriteFile;

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!syslog_.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
    paths_SetRoot(dir_.path());
    ::mkdir((dir_.path() + "/opt").c_str(), 0755);
    ::mkdir((dir_.path() + "/opt/kv2").c_str(), 0755);
    ::mkdir((dir_.path() + "/opt/kv2/etc").c_str(), 0755);
    config_SetPlatform(0);
  }
  void TearDown() override {
    SetVerbose(0);
    paths_SetRoot("");
  }
  static void SetVerbose(int level) {
    StdoutCapture quiet;
    log_SetVerbose(level);
  }
  void WriteImageInfo(const std::string& content) { WriteFile(dir_.path() + "/image_info", content); }
  void WriteAppConfig(const std::string& content) { WriteFile(dir_.path() + "/opt/kv2/etc/appname.config", content); }

  TempDir dir_;
  SyslogCapture syslog_;
};

DeviceIdData Defaults() {
  config_SetIdDefaults();
  return config_SnapshotIdData();
}

bool SameRecord(const DeviceIdData& a, const DeviceIdData& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(IdentityTest, DefaultsOfTheRecord) {
  const DeviceIdData d = Defaults();
  EXPECT_STREQ(d.platformName, "KORVEL_R");
  EXPECT_STREQ(d.productName, "korvel ");
  EXPECT_STREQ(d.name, "kv");
  EXPECT_STREQ(d.swPartNumber, "7182xx.xxx");
  EXPECT_STREQ(d.swRevision, "Rev: 0.0.0");
  EXPECT_STREQ(d.swRevShort, "0.0.0");
  EXPECT_STREQ(d.buildDateNum, "00.00.0000");
  EXPECT_STREQ(d.buildDate, "unknowndate");
  EXPECT_STREQ(d.swBuildNumber, "");
  EXPECT_STREQ(d.swBuildSequenceNumber, "_000");
  const std::uint8_t* flags = &d.reserved1;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(flags[i], i == 1 ? 1 : 0) << "flag " << i + 1;
}

TEST_F(IdentityTest, ImageTypeAndPlatformFromImageInfo) {
  struct Case {
    const char* content;  // null: no file
    int type;
    const char* platformName;
    const char* platformId;
  };
  const Case cases[] = {
      {"image_machine=kv2t-imx6ul-extra\n", 1, "kv2-touch", "KV2_TOUCH"},
      {"image_machine=kvretro\n", 2, "korvel-r", "KORVEL_R"},
      {"image_machine=kvsr\n", 3, "korvel-sr", "KV_SR"},
      {"image_machine=kvs\n", 0, "", ""},
      {"image_machine=kvsr\nimage_machine=kv2t\n", 1, "kv2-touch", "KV2_TOUCH"},
      {"other=1\nimage_machine=kvretro=second\n", 2, "korvel-r", "KORVEL_R"},
      {"image_machine\n", 0, "", ""},
      {"image_version=1.0\n", 0, "", ""},
      {"image_machine=kv2t", 1, "kv2-touch", "KV2_TOUCH"},
      {nullptr, 0, "", ""},
  };
  for (const Case& c : cases) {
    const std::string what = c.content != nullptr ? c.content : "(no file)";
    if (c.content != nullptr)
      WriteImageInfo(c.content);
    else
      ::unlink((dir_.path() + "/image_info").c_str());
    config_SetPlatform(3);  // something to be overwritten
    const int type = config_GetImageType();
    EXPECT_EQ(type, c.type) << what;
    config_SetPlatform(type);
    EXPECT_STREQ(config_GetPlatformName(), c.platformName) << what;
    EXPECT_STREQ(config_GetPlatformId(), c.platformId) << what;
  }
}

TEST_F(IdentityTest, ImageRevisionIsNullWhenUnknown) {
  struct Case {
    const char* content;   // null: no file
    const char* revision;  // null: no revision
  };
  const Case cases[] = {
      {"image_machine=kvsr\nimage_version=3.2.1-r4\n", "3.2.1-r4"},
      {"image_version=1\nimage_version=2\n", "2"},
      {"image_version=\n", ""},
      {"image_machine=kvsr\n", nullptr},
      {nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const std::string what = c.content != nullptr ? c.content : "(no file)";
    if (c.content != nullptr)
      WriteImageInfo(c.content);
    else
      ::unlink((dir_.path() + "/image_info").c_str());
    const char* rev = config_GetImageRev();
    if (c.revision == nullptr)
      EXPECT_EQ(rev, nullptr) << what;
    else {
      ASSERT_NE(rev, nullptr) << what;
      EXPECT_STREQ(rev, c.revision) << what;
    }
  }
}

TEST_F(IdentityTest, UnreadableImageInfoIsLoggedAtLevelOneAsError) {
  SetVerbose(1);
  StdoutCapture quiet;
  (void)syslog_.Drain();
  EXPECT_EQ(config_GetImageType(), 0);
  EXPECT_EQ(config_GetImageRev(), nullptr);
  (void)quiet.Stop();
  const auto lines = syslog_.Drain();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "config_GetImageType, unable to open /image_info file\n");
  EXPECT_EQ(lines[0].priority, 3);
  EXPECT_EQ(lines[1].text, "config_GetImageRev, unable to open /image_info file\n");
  EXPECT_EQ(lines[1].priority, 3);
}

TEST_F(IdentityTest, InitSetsPlatformAndCreatesWatchFolder) {
  WriteImageInfo("image_machine=kvsr\n");
  config_Init();
  EXPECT_STREQ(config_GetPlatformId(), "KV_SR");
  struct stat st {};
  ASSERT_EQ(::stat((dir_.path() + "/opt/kv2/swfw").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0770u);

  // An existing folder with other permissions is set to 0770 again.
  ASSERT_EQ(::chmod((dir_.path() + "/opt/kv2/swfw").c_str(), 0755), 0);
  config_Init();
  ASSERT_EQ(::stat((dir_.path() + "/opt/kv2/swfw").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
}

TEST_F(IdentityTest, AppConfigFillsOnlyPresentKeysOfAnAppconfigFirstSection) {
  const std::string long150(150, 'p');
  struct Case {
    const char* what;
    std::string content;
    void (*change)(DeviceIdData&);  // applied to the defaults
  };
  const Case cases[] = {
      {"only swrevision", "[appconfig]\nswrevision = Rev: 1.2.3\n",
       [](DeviceIdData& d) { std::strcpy(d.swRevision, "Rev: 1.2.3"); }},
      {"substring match and key case", "[MyAppConfig]\nSwRevision = 9\nSWBUILDSEQUENCENUMBER = _042\n",
       [](DeviceIdData& d) {
         std::strcpy(d.swRevision, "9");
         std::strcpy(d.swBuildSequenceNumber, "_042");
       }},
      {"appconfig as second section is ignored", "[other]\nname = a\n[appconfig]\nname = b\n", [](DeviceIdData&) {}},
      {"150 characters stored as 99", "[appconfig]\nproductname = " + long150 + "\n",
       [](DeviceIdData& d) { std::strcpy(d.productName, std::string(99, 'p').c_str()); }},
      {"every key",
       "[appconfig]\nplatformname=P\nproductname=Q\nname=N\nswpartnumber=1\nswrevision=2\nswrevshort=3\n"
       "builddatenum=4\nbuilddate=5\nswbuildnumber=6\nswbuildsequencenumber=7\n",
       [](DeviceIdData& d) {
         std::strcpy(d.platformName, "P");
         std::strcpy(d.productName, "Q");
         std::strcpy(d.name, "N");
         std::strcpy(d.swPartNumber, "1");
         std::strcpy(d.swRevision, "2");
         std::strcpy(d.swRevShort, "3");
         std::strcpy(d.buildDateNum, "4");
         std::strcpy(d.buildDate, "5");
         std::strcpy(d.swBuildNumber, "6");
         std::strcpy(d.swBuildSequenceNumber, "7");
       }},
      {"damaged file keeps the record", "[appconfig]\nname = x\ngarbage\n", [](DeviceIdData&) {}},
  };
  for (const Case& c : cases) {
    DeviceIdData expected = Defaults();
    c.change(expected);
    WriteAppConfig(c.content);
    config_LoadIdData();
    EXPECT_TRUE(SameRecord(config_SnapshotIdData(), expected)) << c.what;
  }
}

TEST_F(IdentityTest, LoadsAccumulateWithoutResetAndFailuresAreLogged) {
  (void)Defaults();
  WriteAppConfig("[appconfig]\nname = first\nswrevshort = 1.0\n");
  config_LoadIdData();
  WriteAppConfig("[appconfig]\nswrevshort = 2.0\n");
  config_LoadIdData();
  DeviceIdData d = config_SnapshotIdData();
  EXPECT_STREQ(d.name, "first");
  EXPECT_STREQ(d.swRevShort, "2.0");

  // A missing file keeps the record: one level-2 line with priority 3 (after
  // the loader's own level-0 reason).
  ::unlink((dir_.path() + "/opt/kv2/etc/appname.config").c_str());
  SetVerbose(2);
  StdoutCapture quiet;
  (void)syslog_.Drain();
  config_LoadIdData();
  (void)quiet.Stop();
  const auto lines = syslog_.Drain();
  const std::string path = dir_.path() + "/opt/kv2/etc/appname.config";
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "iniparser_load - Unable to open " + path);
  EXPECT_EQ(lines[1].text, "config_LoadIdData, cannot parse file: " + path + "\n");
  EXPECT_EQ(lines[1].priority, 3);
  d = config_SnapshotIdData();
  EXPECT_STREQ(d.name, "first");
}

TEST_F(IdentityTest, SecurityFlagsAreWrittenUnderTheLockAndResetByPlatform) {
  config_SetSecurityFlags({0, 1, 1, 1, 1, 3});
  DeviceIdData d = config_SnapshotIdData();
  EXPECT_EQ(d.sftpEnabled, 0);
  EXPECT_EQ(d.pcommPortFree, 1);
  EXPECT_EQ(d.writeBackup, 1);
  EXPECT_EQ(d.forceSsl, 1);
  EXPECT_EQ(d.digestAccess, 1);
  EXPECT_EQ(d.remoteAuthentication, 3);
  EXPECT_EQ(d.reserved1 + d.reserved3 + d.reserved5 + d.reserved6, 0);
  config_SetPlatform(1);
  EXPECT_TRUE(SameRecord(config_SnapshotIdData(), Defaults()));
}

}  // namespace
