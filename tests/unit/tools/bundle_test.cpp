// Bundles and signed OS images made by kvpack, taken apart by the daemon's own
// functions in a temporary root.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/paths.h"
#include "intake/bundle.h"
#include "intake/scandir.h"
#include "kvpack/kvpack.h"
#include "security/sign.h"
#include "support/capture.h"
#include "tool_test_support.h"

namespace {

using kvtest::Answer;
using kvtest::kPrivate;
using kvtest::kPublic;
using kvtest::Why;

// Members of the tar payload that follows a header of length offset.
std::vector<std::pair<std::string, std::string>> Payload(const std::string& bundle, std::size_t offset) {
  return kvtest::Members(bundle.substr(offset));
}

// Six members, one for each step of the daemon's choice, listed so that the
// array order differs from the order of preference.
constexpr const char* kMembers = R"([
  {"path": "extra.bin", "packageName": "extra", "platformName": "all"},
  {"path": "sr.bin", "packageName": "srtool", "platformName": "korvel-sr"},
  {"path": "appc.CRY", "packageName": "kv2-touch", "fileType": "APP-CRY", "platformName": "kv2-touch"},
  {"path": "app.ipk", "packageName": "kv2-touch", "fileType": "APP-IPK", "platformName": "kv2-touch,korvel-r"},
  {"path": "os.img", "fileName": "image_5.0.img", "packageName": "image", "swRev": "5.0", "platformName": "kv2-touch"},
  {"path": "kvupdaterd_2.ipk", "packageName": "kvupdaterd", "platformName": "all"}
])";

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path() + "/";
    for (const char* name : {"extra.bin", "sr.bin", "app.ipk", "os.img", "kvupdaterd_2.ipk"}) {
      kvtest::WriteFile(dir_ + name, std::string("content of ") + name + "\n");
    }
    // A container member decrypts to a package, whose signature it carries.
    kvpack::CryOptions cry;
    cry.platform = "all";
    cry.swPart = "718233.004";
    cry.packageName = "app";
    cry.key = kvpack::BuiltInKey();
    EXPECT_TRUE(kvpack::WriteCry(cry, dir_ + "app.ipk", dir_ + "appc.CRY"));
    kvtest::WriteFile(dir_ + "members.json", kMembers);
  }
  void TearDown() override { paths_SetRoot(""); }

  kv::Status Make(const kvpack::BundleOptions& options, const std::string& out) {
    return kvpack::WriteBundle(options, dir_ + "members.json", out);
  }
  kvpack::BundleOptions Signed() {
    kvpack::BundleOptions o;
    o.signKey = kPrivate;
    return o;
  }

  // Unpacks the bundle with the daemon's functions in a fresh root and calls
  // the member choice pass after pass, as the loop does, until CLEANUP.
  // Each pass gives "<result>" or "<result> <what reached the watch folder>".
  std::vector<std::string> RoundTrip(const std::string& bundle, int imageType, const char* imageRev) {
    kvtest::TempDir root;
    paths_SetRoot(root.path());
    config_SetPlatform(imageType);
    const std::string watch = paths_WatchFolder();
    std::filesystem::create_directories(watch);
    std::filesystem::create_directories(paths_BundleFolder());
    std::filesystem::create_directories(paths_Device("/opt/kv2/log"));
    kvtest::WriteFile(paths_Device(devpath::kImageInfo),
                      imageRev != nullptr ? std::string("image_version=") + imageRev + "\n" : "");
    std::filesystem::copy_file(bundle, watch + "b.CRY");
    EXPECT_EQ(bundle_UnPack(watch.c_str(), "b.CRY", paths_WorkFolder()), 1);

    std::vector<std::string> passes;
    for (int i = 0; i < 12; ++i) {
      const int result = scandir_CheckAndPrepInstaller(paths_BundleFolder(), watch.c_str());
      std::string pass = std::to_string(result);
      std::vector<std::string> arrived;
      for (const auto& e : std::filesystem::directory_iterator(watch)) arrived.push_back(e.path().filename());
      std::sort(arrived.begin(), arrived.end());
      for (const std::string& name : arrived) {
        // What arrives is the member, byte for byte (the image under its fixed name).
        const std::string source = name == "IMAGE.CRY" ? "os.img" : name;
        EXPECT_EQ(kvtest::ReadFile(watch + name), kvtest::ReadFile(dir_ + source)) << name;
        if (name == "IMAGE.CRY") imageSignature_ = kvtest::ReadFile(paths_BundleFolder() + std::string("IMAGE.sign64"));
        pass += " " + name;
        std::filesystem::remove(watch + name);
      }
      passes.push_back(pass);
      if (result == kBundleCleanup) break;
    }
    paths_SetRoot("");
    return passes;
  }

  kvtest::TempDir tmp_;
  std::string dir_;
  std::string imageSignature_;
};

TEST_F(BundleTest, DaemonTakesTheMembersInItsOrderOfPreference) {
  const kv::Status made = Make(Signed(), dir_ + "full.CRY");
  ASSERT_TRUE(made) << Why(made);
  struct Case {
    int imageType;
    const char* imageRev;  // null: the running revision is unknown
    std::vector<std::string> passes;
  };
  const Case cases[] = {
      // Own package, image, application ipk, application container, the rest;
      // the korvel-sr member is dropped when it becomes the first item. The
      // .bin members are neither containers nor packages: dropped, never
      // moved into the watch folder, where nothing would ever take them.
      {kImageTypeKv2Touch, "4.0", {"2 kvupdaterd_2.ipk", "3 IMAGE.CRY", "2 app.ipk", "1 appc.CRY", "4", "0", "10"}},
      // The image of the running revision is dropped in the same pass that
      // goes on to the first item.
      {kImageTypeKorvelSr, "5.0", {"2 kvupdaterd_2.ipk", "4", "4", "0", "0", "10"}},
      // An unknown revision matches nothing, but the image is not for
      // korvel-r: it stays until it is the first item and is then dropped.
      // The ipk names kv2-touch as its package, so only the catch-all takes it.
      {kImageTypeKorvelR, nullptr, {"2 kvupdaterd_2.ipk", "4", "0", "0", "4 app.ipk", "0", "10"}},
  };
  for (const Case& c : cases) {
    imageSignature_.clear();
    EXPECT_EQ(RoundTrip(dir_ + "full.CRY", c.imageType, c.imageRev), c.passes) << "image type " << c.imageType;
  }
}

TEST_F(BundleTest, PayloadHoldsManifestMembersAndSignaturesTheDaemonAccepts) {
  const kv::Status made = Make(Signed(), dir_ + "full.CRY");
  ASSERT_TRUE(made) << Why(made);
  const std::string bundle = kvtest::ReadFile(dir_ + "full.CRY");
  EXPECT_EQ(bundle_HeaderLengthFromText(bundle.data(), bundle.size()), kvpack::kDefaultHeaderLength);
  EXPECT_EQ(scandir_CryTypeFromText(bundle.data(), bundle.size()), kInstallerBundle);
  const auto members = Payload(bundle, kvpack::kDefaultHeaderLength);
  std::vector<std::string> names;
  for (const auto& m : members) names.push_back(m.first);
  const std::vector<std::string> expected = {
      "allinfo.json",       "extra.bin", "extra.sign64", "sr.bin",        "sr.sign64",        "appc.CRY",
      "appc.sign64",        "app.ipk",   "app.sign64",   "image_5.0.img", "image_5.0.sign64", "kvupdaterd_2.ipk",
      "kvupdaterd_2.sign64"};
  ASSERT_EQ(names, expected);

  // The manifest is the member list without "path", keys in the given order,
  // with the default file name added.
  const std::string& manifest = members[0].second;
  EXPECT_EQ(manifest.find("path"), std::string::npos);
  EXPECT_NE(
      manifest.find("\"packageName\":\t\"extra\",\n\t\t\"platformName\":\t\"all\",\n\t\t\"fileName\":\t\"extra.bin\""),
      std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("\"fileName\":\t\"image_5.0.img\",\n\t\t\"packageName\":\t\"image\""), std::string::npos);

  // Every signature verifies its member with the device's check (a
  // container's, the package it decrypts to); one flipped bit does not.
  const std::string key = kvtest::ReadFile(kPublic);
  for (std::size_t i = 1; i + 1 < members.size(); i += 2) {
    const std::string checked = members[i].first == "appc.CRY" ? kvtest::ReadFile(dir_ + "app.ipk") : members[i].second;
    kvtest::WriteFile(dir_ + "check", checked);
    EXPECT_TRUE(sign_VerifyFile(key.c_str(), (dir_ + "check").c_str(), static_cast<long>(checked.size()),
                                members[i + 1].second.c_str()))
        << members[i].first;
    std::string flipped = checked;
    flipped[3] = static_cast<char>(flipped[3] ^ 0x04);
    kvtest::WriteFile(dir_ + "check", flipped);
    EXPECT_FALSE(sign_VerifyFile(key.c_str(), (dir_ + "check").c_str(), static_cast<long>(flipped.size()),
                                 members[i + 1].second.c_str()))
        << members[i].first;
  }

  // Unsigned: the members alone.
  const kv::Status remade = Make(kvpack::BundleOptions{}, dir_ + "plain.CRY");
  ASSERT_TRUE(remade) << Why(remade);
  EXPECT_EQ(Payload(kvtest::ReadFile(dir_ + "plain.CRY"), kvpack::kDefaultHeaderLength).size(), 7u);
}

TEST_F(BundleTest, HeaderIsWhatTheDaemonReads) {
  struct Case {
    const char* name;
    kvpack::BundleOptions options;
    const char* header;  // null: refused
  };
  auto with = [](auto change) {
    kvpack::BundleOptions o;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"default", {}, "HEADERLENGTH: 512\r\nFILETYPE: UPDATE\r\n\r\n"},
      {"full", with([](auto& o) {
         o.fileType = "UPDATE-FULL";
         o.headerLength = 300;
       }),
       "HEADERLENGTH: 300\r\nFILETYPE: UPDATE-FULL\r\n\r\n"},
      {"with cry lines", with([](auto& o) {
         o.fileType = "UPDATEFULL";
         o.platform = "all";
         o.swPart = "7.1";
         o.packageName = "b";
       }),
       "HEADERLENGTH: 512\r\nFILETYPE: UPDATEFULL\r\nPLATFORMNAME: all\r\nSWPART: 7.1\r\nPACKAGENAME: b\r\n\r\n"},
      {"exact fit", with([](auto& o) { o.headerLength = 38; }), "HEADERLENGTH: 38\r\nFILETYPE: UPDATE\r\n\r\n"},
      {"longer than the container limit", with([](auto& o) { o.headerLength = 4096; }),
       "HEADERLENGTH: 4096\r\nFILETYPE: UPDATE\r\n\r\n"},
      {"does not fit", with([](auto& o) { o.headerLength = 37; }), nullptr},
      {"container type", with([](auto& o) { o.fileType = "APP-CRY"; }), nullptr},
      {"lower-case type", with([](auto& o) { o.fileType = "update"; }), nullptr},
      {"unknown platform", with([](auto& o) { o.platform = "KV3"; }), nullptr},
      {"blank in part", with([](auto& o) { o.swPart = "7 1"; }), nullptr},
      {"zero length", with([](auto& o) { o.headerLength = 0; }), nullptr},
  };
  for (const Case& c : cases) {
    const auto built = kvpack::BuildBundleHeader(c.options);
    ASSERT_EQ(built.ok(), c.header != nullptr) << c.name << ": " << Why(built);
    if (!built) continue;
    const std::string& header = built.value();
    EXPECT_EQ(header, c.header) << c.name;
    // Whatever follows in the file, the daemon's readers find the payload
    // offset and take the file for a bundle.
    std::string file = header;
    file.resize(static_cast<std::size_t>(c.options.headerLength), '\0');
    file += std::string(1000, 'x');
    EXPECT_EQ(bundle_HeaderLengthFromText(file.data(), file.size()), c.options.headerLength) << c.name;
    EXPECT_EQ(scandir_CryTypeFromText(file.data(), file.size()), kInstallerBundle) << c.name;
  }
}

TEST(BundleMembers, RefusesListsTheDaemonCouldNotUse) {
  struct Case {
    std::string json;
    const char* error;  // null: accepted
  };
  // Beyond what a device reads: one member too many, a manifest too long.
  std::string crowded = "[";
  for (int i = 0; i <= kManifestMaxItems; ++i)
    crowded += (i > 0 ? "," : "") + ("{\"path\": \"m" + std::to_string(i) + "\"}");
  crowded += "]";
  const std::string longManifest =
      R"([{"path": "a.ipk", "note": ")" + std::string(static_cast<std::size_t>(kManifestMaxBytes), 'x') + R"("}])";
  const Case cases[] = {
      {R"([{"path": "/x/a.ipk"}])", nullptr},
      {R"([{"path": "a.ipk", "FILENAME": "b.ipk"}])", nullptr},  // the daemon ignores key case
      {R"({"path": "a.ipk"})", "JSON array"},
      {R"([)", "JSON array"},
      {R"([])", "empty"},
      {R"(["a.ipk"])", "not an object"},
      {R"([{"fileName": "a.ipk"}])", "needs \"path\""},
      {R"([{"path": ""}])", "needs \"path\""},
      {R"([{"path": "a", "fileName": 7}])", "must be a string"},
      {R"([{"path": "a", "fileName": "../a"}])", "not a plain file name"},
      {R"([{"path": "a", "fileName": "x/a"}])", "not a plain file name"},
      {R"([{"path": "a", "fileName": ".."}])", "not a plain file name"},
      {R"([{"path": "a", "fileName": "a\"b"}])", "not a plain file name"},
      {R"([{"path": "/x/"}])", "not a plain file name"},
      {R"([{"path": "a", "fileName": "a+b.ipk"}])", "character '+'"},
      {R"([{"path": "a", "fileName": "a;rm"}])", "character ';'"},
      {R"([{"path": "a", "fileName": "allinfo.json"}])", "taken by the manifest"},
      {R"([{"path": "x/a.ipk"}, {"path": "y/a.ipk"}])", "used twice"},
      {crowded, "more than the 1000 a device takes"},
      {longManifest, "more than the 262144 a device reads"},
  };
  for (const Case& c : cases) {
    const auto read = kvpack::ReadBundleMembers(c.json);
    const std::string error = Why(read);
    const std::string shown = c.json.substr(0, 80);
    EXPECT_EQ(read.ok(), c.error == nullptr) << shown << ": " << error;
    if (c.error != nullptr) {
      EXPECT_NE(error.find(c.error), std::string::npos) << shown << ": " << error;
    }
  }
  const auto read = kvpack::ReadBundleMembers(R"([{"path": "/x/a.ipk", "swRev": 3}])");
  ASSERT_TRUE(read) << Why(read);
  const std::vector<kvpack::BundleMember>& members = read.value().members;
  EXPECT_EQ(members[0].fileName, "a.ipk");
  EXPECT_EQ(members[0].entry, R"({"swRev":3,"fileName":"a.ipk"})");
}

TEST_F(BundleTest, FailedCommandsLeaveNoOutput) {
  kvtest::WriteFile(dir_ + "empty", "");
  kvtest::WriteFile(dir_ + "clash.json", R"([{"path": "app.ipk"}, {"path": "appc.CRY", "fileName": "app.CRY"}])");
  kvtest::WriteFile(dir_ + "missing.json", R"([{"path": "app.ipk"}, {"path": "nothere.bin"}])");
  kvtest::WriteFile(dir_ + "emptymember.json", R"([{"path": "app.ipk"}, {"path": "empty"}])");
  struct Case {
    const char* what;
    std::string members;
    std::string output;
    std::string signKey;
  };
  const Case cases[] = {
      {"signature names clash", dir_ + "clash.json", dir_ + "out/b.CRY", kPrivate},
      {"member missing", dir_ + "missing.json", dir_ + "out/b.CRY", ""},
      {"empty member signed", dir_ + "emptymember.json", dir_ + "out/b.CRY", kPrivate},
      {"not a private key", dir_ + "members.json", dir_ + "out/b.CRY", kPublic},
      {"not a bundle name", dir_ + "members.json", dir_ + "out/b.tar", ""},
      {"image name", dir_ + "members.json", dir_ + "out/IMAGE_2.CRY", ""},
  };
  std::filesystem::create_directories(dir_ + "out");
  for (const Case& c : cases) {
    kvpack::BundleOptions options;
    options.signKey = c.signKey;
    const kv::Status made = kvpack::WriteBundle(options, c.members, c.output);
    EXPECT_FALSE(made) << c.what;
    EXPECT_FALSE(Why(made).empty()) << c.what;
    EXPECT_TRUE(std::filesystem::is_empty(dir_ + "out")) << c.what;
  }
  EXPECT_FALSE(kvpack::WriteImage(kPrivate, dir_ + "empty", dir_ + "out"));
  EXPECT_FALSE(kvpack::WriteImage(kPublic, dir_ + "os.img", dir_ + "out"));
  EXPECT_FALSE(kvpack::WriteImage(kPrivate, dir_ + "nothere", dir_ + "out"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "out"));
}

TEST_F(BundleTest, ImageAndItsSignaturePassTheDaemonsCheck) {
  const kv::Status image = kvpack::WriteImage(kPrivate, dir_ + "os.img", dir_ + "out");
  ASSERT_TRUE(image) << Why(image);
  EXPECT_EQ(kvtest::ReadFile(dir_ + "out/IMAGE.CRY"), kvtest::ReadFile(dir_ + "os.img"));

  kvtest::TempDir root;
  paths_SetRoot(root.path());
  std::filesystem::create_directories(paths_WatchFolder());
  std::filesystem::create_directories(paths_BundleFolder());
  std::filesystem::create_directories(std::filesystem::path(paths_Device(devpath::kPublicKey)).parent_path());
  std::filesystem::copy_file(kPublic, paths_Device(devpath::kPublicKey));
  std::filesystem::copy_file(dir_ + "out/IMAGE.CRY", paths_WatchFolder() + std::string("IMAGE.CRY"));
  std::filesystem::copy_file(dir_ + "out/IMAGE.sign64", paths_BundleFolder() + std::string("IMAGE.sign64"));
  EXPECT_TRUE(sign_Check("IMAGE.CRY", kSignModeWatchFolder).ok());

  // The image taken from a signed bundle carries its signature along.
  const kv::Status remade = Make(Signed(), dir_ + "full.CRY");
  ASSERT_TRUE(remade) << Why(remade);
  (void)RoundTrip(dir_ + "full.CRY", kImageTypeKv2Touch, "4.0");
  paths_SetRoot(root.path());
  kvtest::WriteFile(paths_BundleFolder() + std::string("IMAGE.sign64"), imageSignature_);
  EXPECT_TRUE(sign_Check("IMAGE.CRY", kSignModeWatchFolder).ok());
}

// The members the inspector says a device takes are those the daemon's
// passes move into the watch folder, in the same order (the image under its
// fixed name).
TEST_F(BundleTest, InspectorTellsTheDaemonsChoice) {
  const kv::Status made = Make(Signed(), dir_ + "full.CRY");
  ASSERT_TRUE(made) << Why(made);
  struct Case {
    const char* platform;
    bool haveRev;
    const char* rev;
    int imageType;
  };
  const Case cases[] = {
      {"KV2_TOUCH", true, "4.0", kImageTypeKv2Touch},
      {"korvel-sr", true, "5.0", kImageTypeKorvelSr},
      {"KORVEL_R", false, "", kImageTypeKorvelR},
  };
  for (const Case& c : cases) {
    kvpack::InspectOptions options;
    options.platform = c.platform;
    options.haveImageRev = c.haveRev;
    options.imageRev = c.rev;
    const auto report = kvpack::Inspect(options, dir_ + "full.CRY");
    ASSERT_TRUE(report) << c.platform << Why(report);
    EXPECT_EQ(paths_Root(), "");
    std::vector<std::string> taken;
    for (const kvpack::InspectMember& m : report.value().members) {
      if (m.taken) taken.push_back(m.role == "OS image" ? "IMAGE.CRY" : m.fileName);
    }
    std::vector<std::string> moved;
    for (const std::string& pass : RoundTrip(dir_ + "full.CRY", c.imageType, c.haveRev ? c.rev : nullptr)) {
      for (std::size_t at = pass.find(' '); at != std::string::npos; at = pass.find(' ', at + 1)) {
        moved.push_back(pass.substr(at + 1, pass.find(' ', at + 1) - at - 1));
      }
    }
    EXPECT_EQ(taken, moved) << c.platform;
  }
}

}  // namespace

namespace {

TEST_F(BundleTest, InspectorReportsBundlesTheDaemonCannotUse) {
  const kv::Status made = Make(kvpack::BundleOptions{}, dir_ + "good.CRY");
  ASSERT_TRUE(made) << Why(made);
  const std::string good = kvtest::ReadFile(dir_ + "good.CRY");
  // HEADERLENGTH on a line ended by a bare LF is not seen: the payload read
  // from offset 0 begins with the header, which is no tar header, and the
  // daemon refuses it whole.
  std::string lfOnly = "FILETYPE: UPDATE\nHEADERLENGTH: 512\n\n";
  lfOnly.resize(512, '\0');
  kvtest::WriteFile(dir_ + "lfonly.CRY", lfOnly + good.substr(512));
  kvtest::WriteFile(dir_ + "a+b.CRY", good);
  std::string noManifest = good.substr(0, 512) + std::string(2048, '\0');
  kvtest::WriteFile(dir_ + "empty.CRY", noManifest);
  struct Case {
    const char* file;
    const char* reason;  // part of the verdict's reason
  };
  const Case cases[] = {
      {"lfonly.CRY", "the device cannot unpack it"},
      {"a+b.CRY", "refuses the name (it holds '+'"},
      {"empty.CRY", "holds no allinfo.json"},
  };
  for (const Case& c : cases) {
    kvpack::InspectOptions options;
    options.platform = "KV2_TOUCH";
    const auto report = kvpack::Inspect(options, dir_ + c.file);
    ASSERT_TRUE(report) << c.file << Why(report);
    EXPECT_EQ(report.value().verdict, kvpack::InspectVerdict::kRejected) << c.file << ": " << report.value().reason;
    EXPECT_NE(report.value().reason.find(c.reason), std::string::npos) << c.file << ": " << report.value().reason;
    for (const kvpack::InspectMember& m : report.value().members) EXPECT_FALSE(m.taken) << c.file << ": " << m.fileName;
  }
}

}  // namespace
