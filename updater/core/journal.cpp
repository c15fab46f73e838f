#include "core/journal.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "core/paths.h"
#include "core/safefile.h"
#include "core/statefile.h"

namespace {

constexpr std::size_t kJournalLimit = 4096;
// Records of earlier versions, read once at start-up and replaced.
constexpr const char* kOldServiceRecord = "kvupdaterd.road";
constexpr const char* kOldBundleRecord = "kvupdaterd.bundle";
constexpr const char* kOldCommitRecord = "kvupdaterd.commit";

JournalEntry gCurrent;

std::string InWork(const char* name) { return std::string(paths_WorkFolder()) + name; }

bool Empty(const JournalEntry& e) { return e.road.empty() && e.member.empty(); }

// A value is written on one line: a line feed in it (a file name may hold
// one) would end the line and let the rest pose as a key of its own. A line
// feed is written as a backslash and "n", a backslash as two; anything else
// stays as it is.
std::string Escape(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && (value[i + 1] == 'n' || value[i + 1] == '\\')) {
      out += value[++i] == 'n' ? '\n' : '\\';
    } else {
      out += value[i];
    }
  }
  return out;
}

// The value of the first "key: value" line, exactly as written after the
// one blank (leading blanks of a value are its own).
std::string Field(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.size() >= key.size() + 2 && line.substr(0, key.size()) == key && line.substr(key.size(), 2) == ": ") {
      return Unescape(line.substr(key.size() + 2));
    }
  }
  return {};
}

}  // namespace

std::string journal_BootId() {
  const kv::Result<std::string> id = safefile_Read(paths_Device(devpath::kBootId), 64);
  if (!id) return {};
  return id.value().substr(0, id.value().find('\n'));
}

const JournalEntry& journal_Current() { return gCurrent; }

std::string journal_Format(const JournalEntry& e) {
  std::string text;
  const auto line = [&text](const char* key, const std::string& value) {
    if (!value.empty()) text += std::string(key) + ": " + Escape(value) + "\n";
  };
  line("road", e.road);
  line("step", e.step);
  line("item", e.item);
  line("found", e.found);
  line("member", e.member);
  line("file", e.file);
  if (e.attempts > 0) line("attempts", std::to_string(e.attempts));
  line("boot", e.boot);
  return text;
}

JournalEntry journal_Parse(const std::string& text) {
  JournalEntry e;
  e.road = Field(text, "road");
  e.step = Field(text, "step");
  e.item = Field(text, "item");
  e.found = Field(text, "found");
  e.member = Field(text, "member");
  e.file = Field(text, "file");
  const std::string attempts = Field(text, "attempts");
  int n = 0;
  if (std::from_chars(attempts.data(), attempts.data() + attempts.size(), n).ec == std::errc() && n > 0) {
    e.attempts = n;
  }
  e.boot = Field(text, "boot");
  return e;
}

kv::Status journal_Write(JournalEntry entry) {
  if (Empty(entry)) {
    gCurrent = JournalEntry{};
    return statefile_Remove(InWork(kJournalName));
  }
  entry.boot = journal_BootId();
  // The entry in memory is what the road goes on with even when the disk
  // refuses it: the caller logs that the journal could not be written.
  gCurrent = entry;
  return statefile_Write(InWork(kJournalName), journal_Format(entry), 0600);
}

kv::Status journal_EndRoad(bool endMember) {
  JournalEntry e = gCurrent;
  e.road.clear();
  e.step.clear();
  e.item.clear();
  e.found.clear();
  e.attempts = 0;
  if (endMember) {
    e.member.clear();
    e.file.clear();
  }
  if (e == gCurrent && !Empty(e)) return kv::Ok();
  return journal_Write(std::move(e));
}

JournalEntry journal_Load(std::string* legacy) {
  gCurrent = JournalEntry{};
  if (const kv::Result<std::string> text = statefile_Read(InWork(kJournalName), kJournalLimit); text) {
    gCurrent = journal_Parse(text.value());
  }
  // What the earlier versions kept in three records.
  JournalEntry old;
  std::string oldName;
  if (const kv::Result<std::string> r = statefile_Read(InWork(kOldCommitRecord), kJournalLimit); r) {
    if (r.value() == "committed\n") old = JournalEntry{"commit", "committed", "", "", "", "", 0, ""};
    oldName = kOldCommitRecord;
  }
  if (const kv::Result<std::string> r = statefile_Read(InWork(kOldBundleRecord), kJournalLimit); r && Empty(old)) {
    old.member = statefile_Field(r.value(), "member");
    old.file = statefile_Field(r.value(), "file");
    if (old.member.empty()) {
      old.road = "bundle";
      old.step = "take";
      old.item = statefile_Field(r.value(), "bundle");
      old.found = old.item;
    }
    oldName = kOldBundleRecord;
  }
  if (const kv::Result<std::string> r = statefile_Read(InWork(kOldServiceRecord), kJournalLimit); r && Empty(old)) {
    // The services were stopped for a road the record names in words only.
    old.road = "services";
    old.step = statefile_Field(r.value(), "road");
    old.boot = statefile_Field(r.value(), "boot");
    oldName = kOldServiceRecord;
  }
  if (!oldName.empty()) {
    if (Empty(gCurrent) && !Empty(old)) {
      const std::string boot = old.boot;
      (void)journal_Write(old);
      if (!boot.empty()) gCurrent.boot = boot;  // the record's boot, for the caller
    }
    for (const char* name : {kOldCommitRecord, kOldBundleRecord, kOldServiceRecord}) {
      (void)statefile_Remove(InWork(name));
    }
    if (legacy != nullptr) *legacy = oldName;
  }
  return gCurrent;
}

bool journal_FromEarlierBoot(const JournalEntry& entry) {
  const std::string now = journal_BootId();
  return !entry.boot.empty() && !now.empty() && entry.boot != now;
}
