#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/paths.h"
#include "kvpack/kvpack.h"
#include "security/decrypt.h"
#include "security/sign.h"
#include "support/capture.h"
#include "tool_test_support.h"

namespace {

using kvtest::Answer;
using kvtest::kPrivate;
using kvtest::kPublic;
using kvtest::Why;

void NoWait(long) {}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

using kvtest::Members;

class KvpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/";
    kvtest::WriteFile(dir_ + "control", "Package: app\nVersion: 1.2\nArchitecture: armv7\nDescription: test\n");
    kvtest::WriteFile(dir_ + "data/opt/app/hello.txt", "hello\n");
    kvtest::WriteFile(dir_ + "data/opt/app/bin/run", "#!/bin/sh\n");
    kvtest::WriteFile(dir_ + "postinst", "#!/bin/sh\nexit 0\n");
  }
  kv::Status MakeIpk(const std::string& out) {
    return kvpack::BuildIpk({dir_ + "control", dir_ + "data", {dir_ + "postinst"}}, out);
  }
  kvpack::CryOptions Cry(const std::string& platform = "all") {
    kvpack::CryOptions o;
    o.platform = platform;
    o.swPart = "718233.004";
    o.packageName = "app";
    o.key = kvpack::BuiltInKey();
    return o;
  }
  kvtest::TempDir tmp_;
  std::string dir_;
};

TEST_F(KvpackTest, IpkHasTheMembersOpkgExpects) {
  const kv::Status made = MakeIpk(dir_ + "app_1.2.ipk");
  ASSERT_TRUE(made) << Why(made);
  const auto ar = Members(kvtest::ReadFile(dir_ + "app_1.2.ipk"));
  ASSERT_EQ(ar.size(), 3u);
  EXPECT_EQ(ar[0].first, "debian-binary");
  EXPECT_EQ(ar[0].second, "2.0\n");
  EXPECT_EQ(ar[1].first, "control.tar.gz");
  EXPECT_EQ(ar[2].first, "data.tar.gz");
  const auto control = Members(ar[1].second);
  ASSERT_EQ(control.size(), 2u);
  EXPECT_EQ(control[0].first, "./control");
  EXPECT_EQ(control[1].first, "./postinst");
  std::vector<std::string> data;
  for (const auto& [name, content] : Members(ar[2].second)) data.push_back(name);
  EXPECT_EQ(data, (std::vector<std::string>{"./", "./opt/", "./opt/app/", "./opt/app/bin/", "./opt/app/bin/run",
                                            "./opt/app/hello.txt"}));
  const auto read = kvpack::ReadIpk(dir_ + "app_1.2.ipk");
  ASSERT_TRUE(read) << Why(read);
  const kvpack::ControlFields& fields = read.value();
  EXPECT_EQ(fields.package, "app");
  EXPECT_EQ(fields.version, "1.2");
}

TEST_F(KvpackTest, EveryArtefactIsAcceptedByTheDaemonsFunctions) {
  kv::Status made = MakeIpk(dir_ + "app.ipk");
  ASSERT_TRUE(made) << Why(made);
  made = kvpack::SignFile(kPrivate, dir_ + "app.ipk", kvpack::DefaultSignaturePath(dir_ + "app.ipk"));
  ASSERT_TRUE(made) << Why(made);
  made = kvpack::WriteCry(Cry("KV2_TOUCH"), dir_ + "app.ipk", dir_ + "app.CRY");
  ASSERT_TRUE(made) << Why(made);

  kvtest::TempDir root;
  paths_SetRoot(root.path());
  config_SetPlatform(kImageTypeKv2Touch);
  const std::string watch = paths_WatchFolder();
  std::filesystem::create_directories(watch);
  std::filesystem::create_directories(paths_BundleFolder());
  std::filesystem::copy_file(dir_ + "app.CRY", watch + "app.CRY");

  int offset = 0;
  EXPECT_EQ(Decrypt_CheckInstallerFile(&offset, (watch + "app.CRY").c_str()), 1);
  EXPECT_EQ(offset, kvpack::kDefaultHeaderLength);
  decrypt_SetSettleHook(NoWait);
  EXPECT_EQ(DeCrypt((watch + "app.CRY").c_str(), watch.c_str(), offset), 0);
  decrypt_SetSettleHook(nullptr);
  EXPECT_TRUE(kvtest::ReadFile(watch + "app.ipk") == kvtest::ReadFile(dir_ + "app.ipk"));

  std::filesystem::copy_file(dir_ + "app.ipk", paths_WorkFolder() + std::string("app.ipk"));
  std::filesystem::copy_file(dir_ + "app.sign64", paths_BundleFolder() + std::string("app.sign64"));
  std::filesystem::create_directories(std::filesystem::path(paths_Device(devpath::kPublicKey)).parent_path());
  std::filesystem::copy_file(kPublic, paths_Device(devpath::kPublicKey));
  EXPECT_EQ(sign_VerifyPackage("app.ipk", kSignModeWorkFolder), 1);
  paths_SetRoot("");
}

// The signature's name is the package's whole name up to its last full stop,
// on both sides. A file name holds 255 bytes, so with ".sign64" a stem of 248
// is the longest that can have a signature; longer ones are refused by the
// tool and find no signature on the device.
TEST_F(KvpackTest, LongPackageNamesAreSignedAndVerifiedUnderTheirWholeStem) {
  kv::Status made = MakeIpk(dir_ + "app.ipk");
  ASSERT_TRUE(made) << Why(made);
  kvtest::TempDir root;
  paths_SetRoot(root.path());
  std::filesystem::create_directories(paths_BundleFolder());
  std::filesystem::create_directories(std::filesystem::path(paths_Device(devpath::kPublicKey)).parent_path());
  std::filesystem::copy_file(kPublic, paths_Device(devpath::kPublicKey));
  for (const std::size_t stem : {199u, 200u, 248u, 249u, 250u}) {
    const std::string name = std::string(stem, 'p') + ".ipk";
    const std::string signature = kvpack::DefaultSignaturePath(paths_BundleFolder() + name);
    EXPECT_EQ(signature, paths_BundleFolder() + std::string(stem, 'p') + ".sign64");
    std::filesystem::copy_file(dir_ + "app.ipk", paths_WorkFolder() + name);
    made = kvpack::SignFile(kPrivate, paths_WorkFolder() + name, signature);
    EXPECT_EQ(made.ok(), stem <= 248) << stem << Why(made);
    EXPECT_EQ(sign_VerifyPackage(name.c_str(), kSignModeWorkFolder), stem <= 248 ? 1 : 0) << stem;
    if (stem > 248) {
      EXPECT_EQ(sign_Check(name.c_str(), kSignModeWorkFolder).error().message(),
                "Signature check, signature file " + signature + " not found, aborting installation!");
    }
  }
  // Nothing but the signatures was left in the folder.
  EXPECT_EQ(FolderNames(paths_BundleFolder()).size(), 3u);
  paths_SetRoot("");
}

TEST_F(KvpackTest, InspectorAgreesWithTheDaemon) {
  kv::Status made = MakeIpk(dir_ + "app.ipk");
  ASSERT_TRUE(made) << Why(made);
  made = kvpack::SignFile(kPrivate, dir_ + "app.ipk", dir_ + "app.sign64");
  ASSERT_TRUE(made) << Why(made);
  const std::string ipk = kvtest::ReadFile(dir_ + "app.ipk");
  std::string flipped = ipk;
  flipped[ipk.size() / 2] = static_cast<char>(flipped[ipk.size() / 2] ^ 0x10);
  kvtest::WriteFile(dir_ + "flipped/app.ipk", flipped);
  kvtest::WriteFile(dir_ + "flipped/app.sign64", kvtest::ReadFile(dir_ + "app.sign64"));
  kvtest::WriteFile(dir_ + "unsigned/app.ipk", ipk);
  ASSERT_TRUE(kvpack::WriteCry(Cry("all"), dir_ + "app.ipk", dir_ + "all.CRY"));
  ASSERT_TRUE(kvpack::WriteCry(Cry("KORVEL_R"), dir_ + "app.ipk", dir_ + "korvel.CRY"));
  kvpack::CryOptions otherKey = Cry();
  otherKey.key.key[0] ^= 1;
  ASSERT_TRUE(kvpack::WriteCry(otherKey, dir_ + "app.ipk", dir_ + "otherkey.CRY"));
  const std::string good = kvtest::ReadFile(dir_ + "all.CRY");
  kvtest::WriteFile(dir_ + "cut.CRY", good.substr(0, good.size() - 32));
  std::string lfOnly = good;
  for (std::size_t at; (at = lfOnly.find("\r\n")) != std::string::npos && at < 200;) lfOnly.erase(at, 1);
  kvtest::WriteFile(dir_ + "lfonly.CRY", lfOnly);
  kvtest::WriteFile(dir_ + "app.Cry", good);
  // A container's signature lies beside it under its own name.
  kvtest::WriteFile(dir_ + "all.sign64", kvtest::ReadFile(dir_ + "app.sign64"));

  struct Case {
    std::string file;
    int accepted;
    const char* reason;  // in the REJECTED line
  };
  const Case cases[] = {
      {dir_ + "app.ipk", 1, nullptr},
      {dir_ + "flipped/app.ipk", 0, "no Package field"},
      {dir_ + "unsigned/app.ipk", 0, "missing signature app.sign64"},
      {dir_ + "all.CRY", 1, nullptr},
      {dir_ + "korvel.CRY", 0, "PLATFORMNAME KORVEL_R is neither all nor KV2_TOUCH"},
      {dir_ + "otherkey.CRY", 0, "does not decrypt with this CRY key"},
      {dir_ + "cut.CRY", 0, "the payload ends after"},
      {dir_ + "lfonly.CRY", 0, "not ended by CR LF"},
      {dir_ + "app.Cry", 0, "neither .cry nor .CRY"},
      {dir_ + "control", 0, "only .CRY containers and .ipk packages"},
  };
  for (const Case& c : cases) {
    kvpack::InspectOptions options;
    options.platform = "KV2_TOUCH";
    options.publicKey = kPublic;
    options.key = kvpack::BuiltInKey();
    const auto result = kvpack::Inspect(options, c.file);
    ASSERT_TRUE(result) << c.file << Why(result);
    const kvpack::InspectReport& report = result.value();
    EXPECT_EQ(report.verdict == kvpack::InspectVerdict::kAccepted, c.accepted == 1) << c.file << ": " << report.reason;
    if (c.reason != nullptr) {
      EXPECT_NE(report.reason.find(c.reason), std::string::npos) << c.file << ": " << report.reason;
    }
    EXPECT_EQ(paths_Root(), "") << "the inspector leaves the daemon's paths as they were";
  }
}

TEST_F(KvpackTest, FailedCommandsLeaveNoOutput) {
  kvtest::WriteFile(dir_ + "nopackage", "Version: 1\n");
  kvtest::WriteFile(dir_ + "plus", "Package: a+b\nVersion: 1\n");
  kvtest::WriteFile(dir_ + "empty", "");
  kvtest::WriteFile(dir_ + "input", "payload");
  kvpack::CryOptions badPlatform = Cry("KV 2");
  kvpack::CryOptions longHeader = Cry();
  longHeader.headerLength = 1001;
  kvpack::CryOptions shortHeader = Cry();
  shortHeader.headerLength = 40;
  struct Case {
    const char* what;
    std::function<kv::Status()> run;
    const char* message;
  };
  const std::string out = dir_ + "out/result";
  std::filesystem::create_directories(dir_ + "out");
  const Case cases[] = {
      {"control without Package",
       [&]() {
         return kvpack::BuildIpk({dir_ + "nopackage", dir_ + "data", {}}, out);
       },
       "needs a Package and a Version"},
      {"package name the device refuses",
       [&]() {
         return kvpack::BuildIpk({dir_ + "plus", dir_ + "data", {}}, out);
       },
       "may hold only"},
      {"missing data folder",
       [&]() {
         return kvpack::BuildIpk({dir_ + "control", dir_ + "none", {}}, out);
       },
       "is not a folder"},
      {"unknown script name",
       [&]() {
         return kvpack::BuildIpk({dir_ + "control", dir_ + "data", {dir_ + "input"}}, out);
       },
       "must be named"},
      {"platform with a blank", [&]() { return kvpack::WriteCry(badPlatform, dir_ + "input", out + ".CRY"); },
       "without blank or colon"},
      {"header length over 1000", [&]() { return kvpack::WriteCry(longHeader, dir_ + "input", out + ".CRY"); },
       "header length must lie between"},
      {"header length below the header", [&]() { return kvpack::WriteCry(shortHeader, dir_ + "input", out + ".CRY"); },
       "header length must lie between"},
      {"container name without .CRY", [&]() { return kvpack::WriteCry(Cry(), dir_ + "input", out + ".bin"); },
       "must contain .CRY or .cry"},
      {"missing input", [&]() { return kvpack::WriteCry(Cry(), dir_ + "none", out + ".CRY"); }, "cannot read"},
      {"input is a folder", [&]() { return kvpack::WriteCry(Cry(), dir_ + "data", out + ".CRY"); },
       "not a regular file"},
      {"private key that is not PEM", [&]() { return kvpack::SignFile(dir_ + "input", dir_ + "input", out); },
       "is not a PEM private key"},
      {"empty package", [&]() { return kvpack::SignFile(kPrivate, dir_ + "empty", out); },
       "never accepts an empty package"},
      {"output folder missing", [&]() { return kvpack::SignFile(kPrivate, dir_ + "input", dir_ + "none/x.sign64"); },
       "cannot create"},
  };
  for (const Case& c : cases) {
    const kv::Status made = c.run();
    const std::string error = Why(made);
    EXPECT_FALSE(made) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    EXPECT_TRUE(FolderNames(dir_ + "out").empty()) << c.what;
  }
}

TEST(KvpackKeyFile, ReadsKeyAndIvLines) {
  kvtest::TempDir dir;
  struct Case {
    std::string text;
    bool ok;
  };
  const std::string key = "key=" + std::string(64, 'a');
  const std::string iv = "iv=" + std::string(32, 'B');
  const Case cases[] = {
      {"# comment\n" + key + "\n" + iv + "\n", true},
      {" " + key + " # trailing comment\r\n" + iv, true},
      {key + "\n", false},                                 // no iv
      {"key=" + std::string(62, 'a') + "\n" + iv, false},  // too short
      {"key=" + std::string(64, 'g') + "\n" + iv, false},  // not hex
      {key + "\n" + iv + "\nsalt=00\n", false},            // unknown line
  };
  for (const Case& c : cases) {
    kvtest::WriteFile(dir.path() + "/k", c.text);
    const auto k = kvpack::ReadKeyFile(dir.path() + "/k");
    EXPECT_EQ(k.ok(), c.ok) << c.text << ": " << Why(k);
    if (c.ok && k) {
      EXPECT_EQ(k.value().key[31], 0xaa);
      EXPECT_EQ(k.value().iv[0], 0xbb);
    }
  }
}

}  // namespace
