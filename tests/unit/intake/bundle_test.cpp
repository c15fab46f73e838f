#include "intake/bundle.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/log.h"
#include "core/paths.h"
#include "install/imageupdate.h"
#include "support/capture.h"

namespace {

int LengthOf(const std::string& text) { return bundle_HeaderLengthFromText(text.data(), text.size()); }

TEST(BundleHeader, HeaderLengthIsFoundOnTheFirstLineOrOnCrLfLines) {
  struct Case {
    const char* what;
    std::string text;
    int length;
  };
  const Case cases[] = {
      {"CR LF lines", "FILETYPE: UPDATE\r\nHEADERLENGTH: 512\r\n\r\nfill", 512},
      {"first line, LF only", "HEADERLENGTH: 768\nFILETYPE: UPDATE\n\nfill", 768},
      {"not first, LF only", "FILETYPE: UPDATE\nHEADERLENGTH: 512\n\nfill", 0},
      {"last one wins", "HEADERLENGTH: 100\r\nHEADERLENGTH: 200\r\n\r\n", 200},
      {"no line feed", "HEADERLENGTH: 512", 0},
      {"not a number", "X: y\r\nHEADERLENGTH: abc\r\n\r\n", 0},
      {"empty", "", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(LengthOf(c.text), c.length) << c.what;
}

TEST(BundleManifest, ItemLookupsMatchKeysWithoutCaseAndOnlyStrings) {
  cJSON* m = cJSON_Parse(R"([{"PackageName":"image","swRev":"1.0","platformName":"kv2-touch,korvel-r"},)"
                         R"({"packageName":7,"fileType":"APP-IPK"},{"packageName":"kv2-touch","fileType":"APP-IPK"}])");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(bundle_FindItem(m, "packageName", "image"), 0);
  EXPECT_EQ(bundle_FindItem(m, "packageName", "7"), -1);
  EXPECT_EQ(bundle_FindItemPair(m, "packageName", "kv2-touch", "fileType", "APP-IPK"), 2);
  EXPECT_EQ(bundle_FindItemPair(m, "packageName", "kv2-touch", "fileType", "APP-CRY"), -1);
  EXPECT_EQ(bundle_ItemContains(m, "platformName", "korvel-r", 0), 1);
  EXPECT_EQ(bundle_ItemContains(m, "platformName", "korvel-sr", 0), 0);
  // The platform name of a device of unknown type: contained in nothing.
  EXPECT_EQ(bundle_ItemContains(m, "platformName", "", 0), 0);
  EXPECT_STREQ(bundle_GetItemString(m, "swRev", 0), "1.0");
  EXPECT_STREQ(bundle_GetItemString(m, "swRev", 1), "");
  cJSON_Delete(m);
}

TEST(BundleManifest, PlainFileNames) {
  for (const char* name : {"app.ipk", "IMAGE_1.2.cry", "a b.x"}) EXPECT_EQ(bundle_IsPlainFileName(name), 1);
  for (const char* name : {"", ".", "..", "../../etc/shadow", "a/b", "x\" \"y", "it's"}) {
    EXPECT_EQ(bundle_IsPlainFileName(name), 0) << name;
  }
  for (const char* name : {"app.ipk", "a.IPK", "IMAGE_1.2.cry", "b.Cry"}) EXPECT_EQ(bundle_IsInstallerName(name), 1);
  for (const char* name : {"x.bin", "a.ipktmp", "cry", "a.cry.txt", ""})
    EXPECT_EQ(bundle_IsInstallerName(name), 0) << name;
}

TEST(ImageProgress, NumberThreeCharactersBeforeThePercentSign) {
  struct Case {
    const char* line;
    int value;
  };
  const Case cases[] = {{"100%\n", 100}, {" 45%\n", 45}, {"  7%\n", 7},        {"...   9% 512 KiB\n", 9},
                        {"xx%\n", 0},    {"5%\n", 5},    {"no progress\n", -1}};
  for (const Case& c : cases) EXPECT_EQ(doInstall_ProgressOf(c.line), c.value) << c.line;
}

// The manifest step on a device root of its own, platform kv2-touch.
class ManifestStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(dir_.path());
    kvtest::WriteFile(dir_.path() + "/image_info", "image_machine=kv2t-imx6\nimage_version=rev-7\n");
    config_SetPlatform(config_GetImageType());
    bundle_ = paths_BundleFolder();
    watch_ = paths_WatchFolder();
    kvtest::WriteFile(watch_ + ".keep", "");
    kvtest::WriteFile(dir_.path() + "/opt/kv2/log/.keep", "");
    kvtest::StdoutCapture quiet;
    log_SetStdout(0);
    log_SetVerbose(0);
  }
  void TearDown() override { paths_SetRoot(""); }
  void Manifest(const std::string& json) { kvtest::WriteFile(bundle_ + "allinfo.json", json); }
  void Member(const std::string& name) { kvtest::WriteFile(bundle_ + name, name); }
  int Step() { return scandir_CheckAndPrepInstaller(bundle_.c_str(), watch_.c_str()); }
  bool InWatch(const std::string& name) const { return kvtest::FileExists(watch_ + name); }

  kvtest::TempDir dir_;
  std::string bundle_;
  std::string watch_;
};

TEST_F(ManifestStepTest, MembersComeInTheOrderOfPreference) {
  for (const char* m : {"other.ipk", "app.CRY", "app.ipk", "image.cry", "image.sign64", "kvupdaterd.ipk"}) Member(m);
  Manifest(R"([
    {"packageName":"tool","platformName":"all","fileName":"other.ipk"},
    {"packageName":"kv2-touch","fileType":"APP-CRY","platformName":"kv2-touch","fileName":"app.CRY"},
    {"packageName":"kv2-touch","fileType":"APP-IPK","platformName":"kv2-touch,korvel-r","fileName":"app.ipk"},
    {"packageName":"image","swRev":"rev-8","platformName":"kv2-touch","fileName":"image.cry"},
    {"packageName":"kvupdaterd","platformName":"all","fileName":"kvupdaterd.ipk"}])");
  EXPECT_EQ(Step(), 2);
  EXPECT_TRUE(InWatch("kvupdaterd.ipk"));
  EXPECT_EQ(Step(), 3);
  EXPECT_TRUE(InWatch("IMAGE.CRY"));
  EXPECT_TRUE(kvtest::FileExists(bundle_ + "IMAGE.sign64"));
  EXPECT_EQ(Step(), 2);
  EXPECT_TRUE(InWatch("app.ipk"));
  EXPECT_EQ(Step(), 1);
  EXPECT_TRUE(InWatch("app.CRY"));
  EXPECT_EQ(Step(), 4);
  EXPECT_TRUE(InWatch("other.ipk"));
  EXPECT_EQ(kvtest::ReadFile(bundle_ + "allinfo.json"), "[]");
  EXPECT_EQ(Step(), kBundleCleanup);
}

// The same-revision record is written only for a member that verifies: an
// unsigned bundle writes nothing to the update log.
TEST_F(ManifestStepTest, ImageOfTheRunningRevisionIsSkipped) {
  const std::string source = std::string(KV_SOURCE_DIR) + "/keys/development/";
  kvtest::WriteFile(paths_Device(devpath::kPublicKey), kvtest::ReadFile(source + "ipksignkeypublic.pem"));
  const std::string log = dir_.path() + "/opt/kv2/log/update.log";
  for (const bool signedMember : {false, true}) {
    Member("image.cry");
    if (signedMember) {
      ASSERT_EQ(std::system(("openssl dgst -sha256 -sign " + source + "development-ipksignkeyprivate.pem " + bundle_ +
                             "image.cry | openssl base64 > " + bundle_ + "image.sign64")
                                .c_str()),
                0);
    }
    Manifest(R"([{"packageName":"image","swRev":"rev-7","platformName":"kv2-touch","fileName":"image.cry"}])");
    EXPECT_EQ(Step(), 0);
    EXPECT_FALSE(kvtest::FileExists(bundle_ + "image.cry"));
    EXPECT_FALSE(InWatch("IMAGE.CRY"));
    const std::string text = kvtest::FileExists(log) ? kvtest::ReadFile(log) : "";
    EXPECT_EQ(text.find("IMAGE: Not installed because same revision") != std::string::npos, signedMember);
    EXPECT_EQ(Step(), kBundleCleanup);
  }
}

// An image older than the running revision goes like one of the same
// revision, unless a root-owned device setting allows downgrades; a setting
// of another owner allows nothing.
TEST_F(ManifestStepTest, ImageOlderThanTheRunningRevisionIsDroppedUnlessAllowed) {
  const std::string setting = paths_Device(devpath::kAllowDowngrade);
  struct Case {
    const char* swRev;
    int setting;  // 0 none, 1 the daemon's user's, 2 another user's
    int result;
  };
  std::vector<Case> cases = {{"rev-6", 0, 0}, {"rev-7~1", 0, 0}, {"rev-6", 1, 3}, {"rev-10", 0, 3}, {"", 0, 3}};
  if (::geteuid() == 0) cases.push_back({"rev-6", 2, 0});
  for (const Case& c : cases) {
    std::remove(setting.c_str());
    if (c.setting != 0) kvtest::WriteFile(setting, "");
    if (c.setting == 2) {
      ASSERT_EQ(::chown(setting.c_str(), 4242, 4242), 0);
    }
    std::remove((watch_ + "IMAGE.CRY").c_str());
    Member("image.cry");
    Manifest(std::string(R"([{"packageName":"image","swRev":")") + c.swRev +
             R"(","platformName":"kv2-touch","fileName":"image.cry"}])");
    EXPECT_EQ(Step(), c.result) << c.swRev << " " << c.setting;
    EXPECT_EQ(InWatch("IMAGE.CRY"), c.result == 3) << c.swRev << " " << c.setting;
    EXPECT_EQ(kvtest::FileExists(bundle_ + "image.cry"), false) << c.swRev << " " << c.setting;
    EXPECT_EQ(Step(), kBundleCleanup);
  }
  std::remove(setting.c_str());
}

TEST_F(ManifestStepTest, ImageForAllPlatformsOnlyComesThroughTheCatchAllUnderItsOwnName) {
  Member("image.cry");
  Manifest(R"([{"packageName":"image","swRev":"rev-8","platformName":"all","fileName":"image.cry"}])");
  EXPECT_EQ(Step(), 4);
  EXPECT_TRUE(InWatch("image.cry"));
  EXPECT_FALSE(InWatch("IMAGE.CRY"));
}

TEST_F(ManifestStepTest, UnknownRunningRevisionMatchesNoBundleRevision) {
  kvtest::WriteFile(dir_.path() + "/image_info", "image_machine=kv2t-imx6\n");
  Member("image.cry");
  Manifest(R"([{"packageName":"image","swRev":"","platformName":"kv2-touch","fileName":"image.cry"}])");
  EXPECT_EQ(Step(), 3);
  EXPECT_TRUE(InWatch("IMAGE.CRY"));
}

TEST_F(ManifestStepTest, EmptyOrBrokenManifestsClearTheBundle) {
  EXPECT_EQ(Step(), 0);  // no manifest at all
  Manifest("");
  EXPECT_EQ(Step(), kBundleCleanup);
  Manifest("{not json");
  EXPECT_EQ(Step(), kBundleCleanup);
  Manifest("[]");
  EXPECT_EQ(Step(), kBundleCleanup);
}

TEST_F(ManifestStepTest, WrongPlatformStaysUntilItIsFirstThenItIsDeleted) {
  Member("r.ipk");
  Member("t.ipk");
  Manifest(R"([{"packageName":"korvel-r","fileType":"APP-IPK","platformName":"korvel-r","fileName":"r.ipk"},
               {"packageName":"x","platformName":"kv2-touch","fileName":"t.ipk"}])");
  EXPECT_EQ(Step(), 0);  // item 0 is for another platform: deleted and dropped
  EXPECT_FALSE(kvtest::FileExists(bundle_ + "r.ipk"));
  EXPECT_EQ(Step(), 4);
  EXPECT_TRUE(InWatch("t.ipk"));
}

TEST_F(ManifestStepTest, FileNamesThatReachOutsideTheBundleAreMissingMembers) {
  const std::string victim = dir_.path() + "/etc/shadow";
  kvtest::WriteFile(victim, "secret");
  Manifest(R"([{"packageName":"kvupdaterd","platformName":"all","fileName":"../../../etc/shadow"},
               {"packageName":"kv2-touch","fileType":"APP-IPK","platformName":"kv2-touch","fileName":"a\" \"/etc/x"},
               {"packageName":"image","swRev":"rev-7","platformName":"kv2-touch","fileName":"../../../etc/shadow"},
               {"packageName":"x","platformName":"korvel-r","fileName":"../../../etc/shadow"}])");
  EXPECT_EQ(Step(), 2);
  EXPECT_EQ(Step(), 2);  // the same-revision image is dropped on the way, then the APP-IPK item
  EXPECT_EQ(Step(), 0);  // wrong platform: dropped, but nothing outside is deleted
  EXPECT_EQ(kvtest::ReadFile(victim), "secret");
  EXPECT_EQ(kvtest::ReadFile(bundle_ + "allinfo.json"), "[]");
  EXPECT_FALSE(InWatch("shadow"));
}

}  // namespace
