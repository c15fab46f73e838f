#include "intake/opkg.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/log.h"
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
      // Keys match whole: keys that share the first letters of a field, before
      // or after it, do not rename the package or change its version.
      {"Package-Type: evil\nPackage: app\nPackager: mallory\nPack: x\nVersion: 1\nVersionNote: 9\n", 2, "app", "1"},
      {"Packager: mallory\nVers: 9\n", 4, "", ""},
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

// The running version of a package comes from the package database: the
// Version of the stanza whose Package is exactly that name.
TEST_F(OpkgTest, InstalledVersionComesFromThePackagesOwnStanza) {
  paths_SetRoot(dir_.path());
  const std::string database = paths_Device(devpath::kOpkgDatabase);
  struct Case {
    const char* what;
    std::string text;  // "-" for no database
    const char* version;
  };
  const Case cases[] = {
      {"own stanza", "Package: kv2-touch\nVersion: 9.0\n\nPackage: kvupdaterd\nVersion: 3.8-r2\nStatus: x\n", "3.8-r2"},
      {"version before the name", "Version: 2.0\nPackage: kvupdaterd\n\n", ""},
      {"another stanza's version", "Package: kvupdaterd\n\nVersion: 5.0\n", ""},
      {"a name that begins like it", "Package: kvupdaterd-extra\nVersion: 9.9\n", ""},
      {"CR LF lines", "Package: kvupdaterd\r\nVersion: 1.2\r\n\r\n", "1.2"},
      {"not listed", "Package: other\nVersion: 1\n", ""},
      {"no database", "-", ""},
  };
  for (const Case& c : cases) {
    std::remove(database.c_str());
    if (c.text != "-") kvtest::WriteFile(database, c.text);
    EXPECT_EQ(opkg_InstalledVersion("kvupdaterd"), c.version) << c.what;
  }
  std::remove(database.c_str());
  ASSERT_EQ(::mkfifo(database.c_str(), 0644), 0);
  EXPECT_EQ(opkg_InstalledVersion("kvupdaterd"), "");  // never waited on
  paths_SetRoot("");
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
  EXPECT_TRUE(kvtest::FileExists(folder_ + "app.ipk"));
  EXPECT_EQ(kvtest::ReadFile(folder_ + "control"), "Package: app\nVersion: 1\n");
  // Only the control file is read before the signature check; the rest stays
  // inside the package, which the installer unit installs from.
  for (const char* member : {"debian-binary", "control.tar.gz", "postinst", "data.tar.gz"}) {
    EXPECT_FALSE(kvtest::FileExists(folder_ + member)) << member;
  }
  EXPECT_EQ(opkg_Unpack(folder_.c_str(), "missing.ipk"), 1);
}

// One ustar header and its data, as a hostile packager may write it.
std::string TarMember(const std::string& name, char type, unsigned mode, unsigned uid, const std::string& data) {
  std::string h(512, '\0');
  auto field = [&h](std::size_t at, const std::string& text) { h.replace(at, text.size(), text); };
  auto octal = [](unsigned long long v, int width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llo", width - 1, v);
    return std::string(b);
  };
  field(0, name);
  field(100, octal(mode, 8));
  field(108, octal(uid, 8));
  field(116, octal(0, 8));
  field(124, octal(data.size(), 12));
  field(136, octal(0, 12));
  h[156] = type;
  field(257, std::string("ustar", 6));
  field(263, "00");
  h.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  field(148, octal(sum, 7) + std::string(1, '\0'));
  std::string padded = data;
  padded.resize((data.size() + 511) / 512 * 512, '\0');
  return h + padded;
}

// An ipk has no signature checked before it is unpacked: no owner, mode or
// special file of its members may come through.
TEST_F(OpkgTest, UnpackTakesMembersAsPlainDataOnly) {
  paths_SetRoot("");
  const std::string build = dir_.path() + "/build/";
  kvtest::WriteFile(build + ".keep", "");
  // Set-user-ID members of another user, in the ar archive and in the control archive.
  kvtest::WriteFile(build + "control.tar", TarMember("control", '0', 0644, 4242, "Package: app\n") +
                                               TarMember("postinst", '0', 06755, 4242, "#!/bin/sh\n") +
                                               std::string(1024, '\0'));
  kvtest::WriteFile(build + "debian-binary", "2.0\n");
  ::chmod((build + "debian-binary").c_str(), 04755);
  ASSERT_EQ(std::system(("cd " + build + " && gzip -nf control.tar && ar rc " + folder_ +
                         "suid.ipk debian-binary control.tar.gz")
                            .c_str()),
            0);
  EXPECT_EQ(opkg_Unpack(folder_.c_str(), "suid.ipk"), 0);
  struct stat st {};
  ASSERT_EQ(::lstat((folder_ + "control").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_FALSE(kvtest::FileExists(folder_ + "postinst"));
}

// Control data that claims or inflates to more than an honest package holds
// is refused before it costs more than its own size: nothing is written,
// and the refusal names the cap.
TEST_F(OpkgTest, ControlDataOverItsCapsIsRefusedUnwritten) {
  paths_SetRoot("");
  kvtest::SyslogCapture syslog;
  log_SetVerbose(1);
  const std::string build = dir_.path() + "/build/";
  const std::string control = TarMember("control", '0', 0644, 0, "Package: app\nVersion: 1\n");
  const std::string end(1024, '\0');
  struct Case {
    const char* what;
    std::string make;  // shell line that writes control.tar.gz (and data.tar.gz) in build
    const char* ar;    // members of the package, in order
    const char* line;  // the refusal, or null when control is unpacked
  };
  const Case cases[] = {
      // 16 MiB of zeros in a few KiB: inflated only up to the cap.
      {"gzip bomb",
       "head -c 16777216 /dev/zero > pad && tar -cf c.tar pad && cat ok.tar >> c.tar && gzip -c c.tar > control.tar.gz",
       "debian-binary control.tar.gz",
       "opkg_Unpack, the content of control.tar.gz of x.ipk exceeds its cap of 4194304 bytes, not unpacked"},
      {"control over 64 KiB", "cat big.tar | gzip -c > control.tar.gz", "debian-binary control.tar.gz",
       "opkg_Unpack, control of x.ipk exceeds its cap of 65536 bytes, not unpacked"},
      {"control.tar.gz over 1 MiB as stored",
       "head -c 1200000 /dev/urandom > noise && tar -cf c.tar noise && cat ok.tar >> c.tar && gzip -c c.tar > "
       "control.tar.gz",
       "debian-binary control.tar.gz",
       "opkg_Unpack, control.tar.gz of x.ipk exceeds its cap of 1048576 bytes, not unpacked"},
      // A large member before the control archive is skipped, not read.
      {"data archive first", "gzip -c ok.tar > control.tar.gz && head -c 4194304 /dev/urandom > data.tar.gz",
       "debian-binary data.tar.gz control.tar.gz", nullptr},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(build);
    std::filesystem::create_directories(build);
    std::remove((folder_ + "control").c_str());
    std::remove((folder_ + "x.ipk").c_str());
    kvtest::WriteFile(build + "ok.tar", control + end);
    kvtest::WriteFile(build + "big.tar",
                      TarMember("control", '0', 0644, 0, "Package: app\n" + std::string(70000, '#')) + end);
    kvtest::WriteFile(build + "debian-binary", "2.0\n");
    const std::string make = "cd " + build + " && " + c.make + " && ar rc " + folder_ + "x.ipk " + c.ar;
    ASSERT_EQ(std::system(make.c_str()), 0) << c.what;
    (void)syslog.Drain();
    EXPECT_EQ(opkg_Unpack(folder_.c_str(), "x.ipk"), 0) << c.what;
    EXPECT_EQ(kvtest::FileExists(folder_ + "control"), c.line == nullptr) << c.what;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      EXPECT_TRUE(entry.path().filename() == "x.ipk" || entry.path().filename() == "build" ||
                  entry.path().filename() == "control")
          << c.what << ": " << entry.path();
    }
    if (!syslog.available() || c.line == nullptr) continue;
    std::vector<std::string> texts;
    for (const kvtest::SyslogLine& l : syslog.Drain()) {
      if (l.priority == 3) texts.push_back(l.text);
    }
    EXPECT_EQ(texts, std::vector<std::string>{std::string(c.line) + "\n"}) << c.what;
  }
  log_SetVerbose(0);
}

}  // namespace
