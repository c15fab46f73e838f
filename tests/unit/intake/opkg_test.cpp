#include "intake/opkg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/paths.h"
#include "support/capture.h"

namespace {

class OpkgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path() + "/";
    opkg_ClearControlInfo();
  }
  int Extract(const std::string& control) {
    kvtest::WriteFile(folder_ + "control", control);
    return opkg_extractControlInfo(folder_.c_str());
  }
  kvtest::TempDir dir_;
  std::string folder_;
};

TEST_F(OpkgTest, ControlFieldsAndResultCount) {
  EXPECT_EQ(Extract("Package: kv2-touch\nVersion: 1.2.3-r0\nLicense: MIT\nArchitecture: armhf\n"
                    "Description: x y\n"),
            0);
  const OpkgControlInfo& info = opkg_GetControlInfo();
  EXPECT_STREQ(info.package, "kv2-touch");
  EXPECT_STREQ(info.version, "1.2.3-r0");
  EXPECT_STREQ(info.license, "MIT");
  EXPECT_STREQ(info.architecture, "armhf");

  struct Case {
    std::string control;
    int result;
    const char* package;
    const char* version;
  };
  const Case cases[] = {
      {"Package:kv2-touch\nVersion: 1.2 beta\nArchitecture: all\n", 1, "kv2-touch", "1.2"},
      {" Package: x\nVersion: 1\n", 3, "", "1"},
      {"Package: a\nPackage: b\nVersion: 1\nLicense: x\nArchitecture: y\n", -1, "b", "1"},
      {"package: a\nVersion:\n", 4, "", ""},
      {"Version: 7", 3, "", "7"},
      {"", 4, "", ""},
  };
  for (const Case& c : cases) {
    opkg_ClearControlInfo();
    EXPECT_EQ(Extract(c.control), c.result) << c.control;
    EXPECT_STREQ(opkg_GetControlInfo().package, c.package) << c.control;
    EXPECT_STREQ(opkg_GetControlInfo().version, c.version) << c.control;
  }
  std::remove((folder_ + "control").c_str());
  EXPECT_EQ(opkg_extractControlInfo(folder_.c_str()), 1);
}

TEST_F(OpkgTest, ValuesAreCutAt1000Characters) {
  Extract("Version: " + std::string(1500, '9') + "\n");
  EXPECT_EQ(std::string(opkg_GetControlInfo().version), std::string(1000, '9'));
}

TEST(OpkgNames, PlainFileNamesOnly) {
  for (const char* name : {"kv2-touch", "kvupdaterd", "a.b", "x_1"}) EXPECT_EQ(opkg_IsPlainPackageName(name), 1);
  for (const char* name : {"", ".", "..", "../x", "a/b", "a\"b", "it's"}) {
    EXPECT_EQ(opkg_IsPlainPackageName(name), 0) << name;
  }
}

TEST_F(OpkgTest, UnpackPutsTheMembersBesideThePackage) {
  paths_SetRoot("");
  const std::string build = dir_.path() + "/build/";
  kvtest::WriteFile(build + "ctl/control", "Package: app\nVersion: 1\n");
  kvtest::WriteFile(build + "ctl/postinst", "#!/bin/sh\n");
  kvtest::WriteFile(build + "debian-binary", "2.0\n");
  kvtest::WriteFile(build + "data/opt/x", "x\n");
  const std::string make = "cd " + build + " && tar -czf control.tar.gz -C ctl ./control ./postinst && " +
                           "tar -czf data.tar.gz -C data . && ar rc " + folder_ +
                           "app.ipk debian-binary control.tar.gz data.tar.gz";
  ASSERT_EQ(std::system(make.c_str()), 0);
  EXPECT_EQ(opkg_Unpack(folder_.c_str(), "app.ipk"), 0);
  for (const char* member : {"debian-binary", "control.tar.gz", "data.tar.gz", "control", "postinst", "app.ipk"}) {
    EXPECT_TRUE(kvtest::FileExists(folder_ + member)) << member;
  }
  EXPECT_EQ(kvtest::ReadFile(folder_ + "control"), "Package: app\nVersion: 1\n");
  EXPECT_EQ(opkg_Unpack(folder_.c_str(), "missing.ipk"), 1);
}

}  // namespace
