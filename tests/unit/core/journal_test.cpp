#include "core/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "core/paths.h"
#include "support/capture.h"

// Failures show the entry as the journal's text.
void PrintTo(const JournalEntry& entry, std::ostream* os) { *os << '"' << journal_Format(entry) << '"'; }

namespace {

using kvtest::FileExists;
using kvtest::WriteFile;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_SetRoot(root_.path());
    std::filesystem::create_directories(paths_WorkFolder());
    std::filesystem::create_directories(root_.path() + "/proc/sys/kernel/random");
    WriteFile(paths_Device(devpath::kBootId), "boot-now\n");
    (void)journal_Write(JournalEntry{});
  }
  void TearDown() override { paths_SetRoot(""); }
  static std::string Journal() { return std::string(paths_WorkFolder()) + kJournalName; }

  kvtest::TempDir root_;
};

// Every value comes back as it was written, through the file as through the
// text; a value that holds a line feed cannot pose as another key.
TEST_F(JournalTest, EntriesComeBackAsWrittenAndValuesForgeNoKey) {
  const JournalEntry entries[] = {
      {"ipk", "install", "app.ipk", "x.ipk", "", "", 2, ""},
      {"", "", "", "", "m.CRY", "m.CRY", 0, ""},
      {"appcry", "take", "a.CRY", "a.CRY\nroad: image\nmember: evil\nattempts: 9\nboot: old", "", "", 0, ""},
      {"bundle", "take", "b\\nc\\", "\nstep: update", "", "f\n", 1, ""},
      {"image", "update", " lead", "trail ", "m\r", "\\\\n", 0, ""},
  };
  for (const JournalEntry& entry : entries) {
    SCOPED_TRACE(journal_Format(entry));
    EXPECT_EQ(journal_Parse(journal_Format(entry)), entry);
    ASSERT_TRUE(journal_Write(entry));
    JournalEntry expected = entry;
    expected.boot = "boot-now";
    EXPECT_EQ(journal_Load(), expected);
    EXPECT_FALSE(journal_FromEarlierBoot(expected));
  }
}

TEST_F(JournalTest, EndRoadKeepsOrDropsTheMember) {
  struct Row {
    JournalEntry before;
    bool endMember;
    bool fileLeft;
    JournalEntry after;
  };
  const Row rows[] = {
      {{"ipk", "install", "app.ipk", "m.ipk", "m.ipk", "m.ipk", 1, ""},
       false,
       true,
       {"", "", "", "", "m.ipk", "m.ipk", 0, "boot-now"}},
      {{"ipk", "install", "app.ipk", "m.ipk", "m.ipk", "m.ipk", 1, ""}, true, false, {}},
      {{"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 2, ""}, false, false, {}},
      {{"", "", "", "", "m.CRY", "m.CRY", 0, ""}, false, true, {"", "", "", "", "m.CRY", "m.CRY", 0, "boot-now"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(journal_Format(row.before));
    ASSERT_TRUE(journal_Write(row.before));
    ASSERT_TRUE(journal_EndRoad(row.endMember));
    EXPECT_EQ(journal_Current(), row.after);
    EXPECT_EQ(FileExists(Journal()), row.fileLeft);
    EXPECT_EQ(journal_Load(), row.after);
  }
}

// The records of earlier versions are read once into the entry they mean
// and removed; the journal says it from then on.
TEST_F(JournalTest, RecordsOfEarlierVersionsAreReadOnceAndRemoved) {
  struct Row {
    const char* record;
    const char* text;
    JournalEntry entry;
  };
  const Row rows[] = {
      {"kvupdaterd.commit", "committed\n", {"commit", "committed", "", "", "", "", 0, "boot-now"}},
      {"kvupdaterd.bundle", "bundle: b.bundle\n", {"bundle", "take", "b.bundle", "b.bundle", "", "", 0, "boot-now"}},
      {"kvupdaterd.bundle", "member: m.CRY\nfile: m.CRY\n", {"", "", "", "", "m.CRY", "m.CRY", 0, "boot-now"}},
      {"kvupdaterd.road", "road: image\nboot: boot-old\n", {"services", "image", "", "", "", "", 0, "boot-old"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.record);
    (void)journal_Write(JournalEntry{});
    WriteFile(std::string(paths_WorkFolder()) + row.record, row.text);
    std::string legacy;
    EXPECT_EQ(journal_Load(&legacy), row.entry);
    EXPECT_EQ(legacy, row.record);
    EXPECT_FALSE(FileExists(std::string(paths_WorkFolder()) + row.record));
    // The next start reads the journal only (the running boot is the one
    // that wrote it).
    JournalEntry again = row.entry;
    again.boot = "boot-now";
    legacy.clear();
    EXPECT_EQ(journal_Load(&legacy), again);
    EXPECT_EQ(legacy, "");
  }
}

// A journal the daemon did not make itself is never read: a link to a file
// with a well-formed entry, a file of another user, a second name of a file.
TEST_F(JournalTest, ForeignJournalIsNotRead) {
  const std::string text = journal_Format({"image", "update", "IMAGE.CRY", "IMAGE.CRY", "", "", 0, "boot-now"});
  const std::string elsewhere = root_.path() + "/planted";
  const std::function<void()> plants[] = {
      [&] {
        WriteFile(elsewhere, text);
        ASSERT_EQ(::symlink(elsewhere.c_str(), Journal().c_str()), 0);
      },
      [&] {
        WriteFile(Journal(), text);
        ASSERT_EQ(::chown(Journal().c_str(), 4242, 4242), 0);
      },
      [&] {
        WriteFile(Journal(), text);
        ASSERT_EQ(::link(Journal().c_str(), elsewhere.c_str()), 0);
      },
  };
  for (const auto& plant : plants) {
    std::filesystem::remove(Journal());
    std::filesystem::remove(elsewhere);
    plant();
    EXPECT_EQ(journal_Load(), JournalEntry{});
    EXPECT_EQ(journal_Current(), JournalEntry{});
  }
}

}  // namespace
