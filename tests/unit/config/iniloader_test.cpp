#include "config/iniloader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/log.h"
#include "support/capture.h"

namespace {

using kvtest::SyslogCapture;
using kvtest::TempDir;
using kvtest::WriteFile;

using Entries = std::map<std::string, std::string>;

class IniLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!syslog_.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
  }
  // Writes content to a file and loads it with the daemon's loader.
  kv::Dictionary Load(const std::string& content) {
    WriteFile(path(), content);
    return kv::Dictionary(kv::iniparser_load(path().c_str()));
  }
  std::string path() const { return dir_.path() + "/test.ini"; }
  std::vector<std::string> Logged() {
    std::vector<std::string> texts;
    for (const auto& line : syslog_.Drain()) {
      EXPECT_EQ(line.priority, 5) << line.text;
      texts.push_back(line.text);
    }
    return texts;
  }

  TempDir dir_;
  SyslogCapture syslog_;
};

// Every stored key and its value (sections have no value: "<section>").
Entries Dump(const dictionary* d) {
  Entries out;
  for (ssize_t i = 0; i < d->size; ++i) {
    if (d->key[i] == nullptr) continue;
    out[d->key[i]] = d->val[i] != nullptr ? d->val[i] : "<section>";
  }
  return out;
}

TEST_F(IniLoaderTest, AcceptedFilesStoreTheseKeysAndValues) {
  const std::string v250(250, 'v');
  const std::string s250(250, 'S');
  struct Case {
    const char* what;
    std::string content;
    Entries expected;
  };
  const Case cases[] = {
      {"double-quoted value with a blank, upper-case key",
       "[NetIf]\nKey = \"a b\"\n",
       {{"netif", "<section>"}, {"netif:key", "a b"}}},
      {"quoting and comments",
       "[s]\na = 'x y'\nb = ''\nc = \"\"\nd = v ; note\ne = w # note\nf =\ng = ;c\nh=plain\n",
       {{"s", "<section>"},
        {"s:a", "x y"},
        {"s:b", ""},
        {"s:c", ""},
        {"s:d", "v"},
        {"s:e", "w"},
        {"s:f", ""},
        {"s:g", ""},
        {"s:h", "plain"}}},
      {"comments and blank lines", "# comment\n; other\n\n   \n[s]\n  k  =  v  \n", {{"s", "<section>"}, {"s:k", "v"}}},
      {"sections match in lower case",
       "[NetIf]\nA=1\n[netif]\nB=2\n",
       {{"netif", "<section>"}, {"netif:a", "1"}, {"netif:b", "2"}}},
      {"entry before the first section", "k = v\n[s]\n", {{":k", "v"}, {"s", "<section>"}}},
      {"later value replaces earlier", "[s]\nk = 1\nk = 2\n", {{"s", "<section>"}, {"s:k", "2"}}},
      {"continuation lines are joined", "[s]\nk = abc\\\ndef\\\n ghi\n", {{"s", "<section>"}, {"s:k", "abcdef ghi"}}},
      {"value cut at 200",
       "[s]\nk = " + v250 + "\nq = \"" + v250 + "\"\n",
       {{"s", "<section>"}, {"s:k", std::string(200, 'v')}, {"s:q", std::string(200, 'v')}}},
      {"section name cut at 200", "[" + s250 + "]\n", {{std::string(200, 's'), "<section>"}}},
      {"line of 1022 characters and its line feed fits", "k = v" + std::string(1017, ' ') + "\n", {{":k", "v"}}},
      {"empty file", "", {}},
  };
  for (const Case& c : cases) {
    const kv::Dictionary d = Load(c.content);
    ASSERT_NE(d, nullptr) << c.what;
    EXPECT_EQ(Dump(d.get()), c.expected) << c.what;
    EXPECT_TRUE(Logged().empty()) << c.what;
  }
}

TEST_F(IniLoaderTest, RejectedFilesReturnNothingAndLogWhy) {
  struct Case {
    const char* what;
    std::string content;
    std::string message;  // %s stands for the path
  };
  const Case cases[] = {
      {"last line without line feed", "[s]\nk = v\nlast = x", "iniparser_load - input line too long in %s (3)"},
      {"line of 1023 characters", "[s]\n" + std::string(1023, '#') + "\n",
       "iniparser_load - input line too long in %s (2)"},
      {"continued line too long in total", "k = " + std::string(600, 'a') + "\\\n" + std::string(600, 'b') + "\n",
       "iniparser_load - input line too long in %s (2)"},
      {"syntax error after good lines", "[s]\nk = v\njunk line\nm = n\n",
       "iniparser_load - syntax error in %s (3): junk line"},
      {"key longer than 200", "[s]\n" + std::string(201, 'k') + " = v\n",
       "iniparser_load - syntax error in %s (2): " + std::string(201, 'k') + " = v"},
      {"empty key", "= v\n", "iniparser_load - syntax error in %s (1): = v"},
      {"NUL byte in a line", std::string("[s]\nk\0 = v\n", 11), "iniparser_load - syntax error in %s (2): k"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load(c.content), nullptr) << c.what;
    std::string expected = c.message;
    expected.replace(expected.find("%s"), 2, path());
    EXPECT_EQ(Logged(), std::vector<std::string>{expected}) << c.what;
  }
}

TEST_F(IniLoaderTest, MissingFileIsReported) {
  EXPECT_EQ(kv::iniparser_load(path().c_str()), nullptr);
  EXPECT_EQ(Logged(), std::vector<std::string>{"iniparser_load - Unable to open " + path()});
}

// The library's own loader accepts a last line without a line feed and logs
// nothing; ours refuses it. This proves the daemon's loader is the one linked.
TEST_F(IniLoaderTest, OursIsTheLoaderCalledNotTheLibrarys) {
  WriteFile(path(), "[s]\nk = v");
  dictionary* library = ::iniparser_load(path().c_str());
  ASSERT_NE(library, nullptr);
  ::iniparser_freedict(library);
  (void)Logged();
  EXPECT_EQ(kv::iniparser_load(path().c_str()), nullptr);
  EXPECT_EQ(Logged().size(), 1u);
}

// Builds a file with one section and keys entries, so that keys + 1 entries
// are stored, followed by extra comment lines.
std::string ManyEntries(int keys, int extraLines) {
  std::string s = "[s]\n";
  for (int i = 0; i < keys; ++i) s += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  for (int i = 0; i < extraLines; ++i) s += "# more\n";
  return s;
}

TEST_F(IniLoaderTest, SizeCapRefusesTheWholeFileAndCountsEveryFurtherLine) {
  // 8,192 stored entries fit in the doubled capacity of 8,192.
  kv::Dictionary fits = Load(ManyEntries(8191, 2));
  ASSERT_NE(fits, nullptr);
  EXPECT_EQ(fits->n, 8192);
  EXPECT_TRUE(Logged().empty());

  // One more entry doubles the capacity past the cap: that line and each of
  // the two after it log the message, and nothing is returned.
  EXPECT_EQ(Load(ManyEntries(8192, 2)), nullptr);
  const std::string message = "iniparser_load - dictionary size exceeded in " + path() + " : 16384";
  EXPECT_EQ(Logged(), std::vector<std::string>(3, message));
}

// Whatever stands at a configuration file's name that is not a regular file
// within the cap is refused unread, as if the file were missing: a FIFO no
// longer holds the caller, a folder no longer loads as an empty file. One
// line says why, once per change of the entry, however often it is loaded
// (the identification answers load the files again for every request).
TEST_F(IniLoaderTest, EntryThatIsNoRegularFileWithinTheCapIsRefusedOnce) {
  {
    kvtest::StdoutCapture out;
    log_SetVerbose(1);  // refusals are logged at level 1
    (void)out.Stop();
  }
  const std::string good = dir_.path() + "/good.ini";
  WriteFile(good, "[appconfig]\nname = linked\n");
  std::string big = "[s]\n";
  while (big.size() <= kv::kIniMaxFileSize) big += "# a long comment line of a file far too large\n";
  struct Row {
    const char* what;
    std::function<void()> plant;
    std::string reason;
  };
  const Row rows[] = {
      {"link", [&] { ASSERT_EQ(::symlink(good.c_str(), path().c_str()), 0); }, "is not a regular file"},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(path().c_str(), 0644), 0); }, "is not a regular file"},
      {"folder", [&] { ASSERT_EQ(::mkdir(path().c_str(), 0755), 0); }, "is not a regular file"},
      {"too large", [&] { WriteFile(path(), big); }, "is larger than 262144 bytes"},
  };
  for (const Row& r : rows) {
    r.plant();
    EXPECT_EQ(kv::iniparser_load(path().c_str()), nullptr) << r.what;
    EXPECT_EQ(kv::iniparser_load(path().c_str()), nullptr) << r.what;
    auto lines = syslog_.Drain();
    ASSERT_EQ(lines.size(), 1u) << r.what;
    EXPECT_EQ(lines[0].text, "iniparser_load, " + path() + " " + r.reason + "\n") << r.what;
    EXPECT_EQ(lines[0].priority, 3) << r.what;
    // A change of the entry is told again.
    ASSERT_EQ(::lchown(path().c_str(), 1, 1), 0);
    EXPECT_EQ(kv::iniparser_load(path().c_str()), nullptr) << r.what;
    EXPECT_EQ(syslog_.Drain().size(), 1u) << r.what;
    ASSERT_EQ(std::system(("rm -rf '" + path() + "'").c_str()), 0);
  }
  // A regular file within the cap loads again.
  EXPECT_NE(Load("[appconfig]\nname = x\n"), nullptr);
  EXPECT_TRUE(Logged().empty());
}

}  // namespace
