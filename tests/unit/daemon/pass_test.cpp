// The polling loop pass by pass: what is dropped, then after each pass the
// device programs it ran (with what the journal named as each ran), the
// folders and the journal, until the drop's road is over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/identity.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/sleep.h"
#include "daemon/mainloop.h"
#include "intake/dropsig.h"
#include "road/road.h"
#include "security/fixture.h"
#include "support/capture.h"
#include "support/devroot.h"

// The loop's fixed waits are for the device's flash and programs; the
// stand-ins need none.
void kv_SleepMicroseconds(long /*microseconds*/) {}

namespace {

namespace fs = std::filesystem;
using kvtest::ReadFile;
using kvtest::WriteFile;

// A package "app" made with the host's tar and ar, in a folder of its own.
std::string Package(const std::string& build) {
  WriteFile(build + "/ctl/control", "Package: app\nVersion: 1.0\n");
  WriteFile(build + "/debian-binary", "2.0\n");
  WriteFile(build + "/data/opt/app", "app\n");
  const std::string make = "cd " + build + " && tar -czf control.tar.gz -C ctl ./control && " +
                           "tar -czf data.tar.gz -C data . && ar rc app.ipk debian-binary control.tar.gz data.tar.gz";
  EXPECT_EQ(std::system(make.c_str()), 0);
  return ReadFile(build + "/app.ipk");
}

// The package's signature with the development signing key, as the
// packaging tool writes it.
std::string Signature(const std::string& build) {
  const std::string sign = "openssl dgst -sha256 -sign " + std::string(KV_SOURCE_DIR) +
                           "/keys/development/development-ipksignkeyprivate.pem " + build +
                           "/app.ipk | openssl base64 > " + build + "/app.sign64";
  EXPECT_EQ(std::system(sign.c_str()), 0);
  return ReadFile(build + "/app.sign64");
}

std::string Transcript(const std::vector<std::string>& folders, const JournalEntry& journal) {
  std::string line = "after the pass:";
  for (const std::string& f : folders) line += " " + f;
  return line + " | journal: " + journal.road + "/" + journal.member;
}

struct Row {
  const char* what;
  std::vector<std::pair<const char*, int>> drops;  // "W/..." or "B/...", 0 package 1 signature 2 container
  int passes;
  std::vector<const char*> transcript;
};

TEST(MainLoopPassTest, DropsGoTheirRoadPassByPass) {
  // Each row brings its signatures with its drops.
  ::setenv(kSignatureWaitEnvironment, "0", 1);
  const kvtest::TempDir build;
  const std::string ipk = Package(build.path());
  const std::string signature = Signature(build.path());
  const std::string container =
      sectest::Container(sectest::CrLfHeader({"HEADERLENGTH: 512", "FILETYPE: APP-CRY", "PLATFORMNAME: all",
                                              "SWPART: 718233.004", "PACKAGENAME: app"}),
                         512, sectest::Encrypt(sectest::Plaintext(ipk)));
  const Row rows[] = {
      {"a package with its signature dropped beside it: both taken, installed in one pass",
       {{"W/drop.ipk", 0}, {"W/drop.sign64", 1}},
       2,
       {"systemctl start install@app [ipk install]", "after the pass: K/app.ipk B/app.sign64 | journal: /",
        "after the pass: K/app.ipk B/app.sign64 | journal: /"}},
      {"a signed package: verified and installed in one pass",
       {{"W/drop.ipk", 0}, {"B/drop.sign64", 1}},
       2,
       {"systemctl start install@app [ipk install]", "after the pass: K/app.ipk B/app.sign64 | journal: /",
        "after the pass: K/app.ipk B/app.sign64 | journal: /"}},
      {"an unsigned package: refused, nothing installed, nothing left",
       {{"W/drop.ipk", 0}},
       1,
       {"after the pass: | journal: /"}},
      {"a container: decrypted into the watch folder, installed in the next pass",
       {{"W/app.CRY", 2}, {"B/app.sign64", 1}},
       3,
       {"after the pass: W/app.ipk B/app.sign64 | journal: /", "systemctl start install@app [ipk install]",
        "after the pass: K/app.ipk B/app.sign64 | journal: /", "after the pass: K/app.ipk B/app.sign64 | journal: /"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const kvtest::DeviceRoot device;
    fs::create_directories(fs::path(paths_Device(devpath::kPublicKey)).parent_path());
    WriteFile(paths_Device(devpath::kPublicKey),
              ReadFile(std::string(KV_SOURCE_DIR) + "/keys/development/ipksignkeypublic.pem"));
    for (const auto& [name, what] : row.drops) {
      const std::string folder = name[0] == 'W' ? paths_WatchFolder() : paths_BundleFolder();
      WriteFile(folder + (name + 2), what == 0 ? ipk : what == 1 ? signature : container);
    }

    const int status = kvtest::RunInChild([&] {
      kvtest::StdoutCapture quiet;
      config_SetPlatform(0);
      road_SetSimulate(0);
      (void)journal_Load();
      for (int pass = 0; pass < row.passes; ++pass) {
        mainloop_Pass();
        std::vector<std::string> folders = kvtest::Listing(paths_WatchFolder(), "W/");
        for (const std::string& n : kvtest::Listing(paths_WorkFolder(), "K/")) folders.push_back(n);
        for (const std::string& n : kvtest::Listing(paths_BundleFolder(), "B/")) folders.push_back(n);
        device.Note(Transcript(folders, journal_Load()));
      }
    });

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(device.Commands(), std::vector<std::string>(row.transcript.begin(), row.transcript.end()));
  }
}

}  // namespace
