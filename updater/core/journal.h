// The journal: where the one drop being worked on stands, so that a start
// after a kill or a power cut can finish or undo what was cut off.
//
// One file in the work folder, root's alone (mode 0600), replaced whole for
// every change (statefile_Write: temporary file, flush, rename over, flush
// the folder) and removed with a flush of the folder. It is written before
// each step that a restart must know about and removed only after what
// recovery needs is durable. Its text is "key: value" lines (in a value, a
// line feed is written as a backslash and "n", a backslash as two):
//
//   road      the road of the drop: "ipk", "appcry", "image", "bundle",
//             "commit"; empty when no road is under way
//   step      the step of that road that was started last
//   item      the file in the work folder that the step works on
//   found     the name the drop had in the watch folder
//   member    a bundle member on its way: its file name in the bundle folder
//   file      that member's name in the watch folder while it waits there
//   attempts  how often the step was started (bounded retries)
//   boot      the boot id when the entry was written
//
// A bundle member stays named (member, file) while it waits in the watch
// folder and while its road runs, and goes when that road ends. Main thread
// only.
#pragma once

#include <string>

#include "core/result.h"

// Name of the journal in the work folder.
inline constexpr const char* kJournalName = "kvupdaterd.journal";

struct JournalEntry {
  std::string road;
  std::string step;
  std::string item;
  std::string found;
  std::string member;
  std::string file;
  int attempts = 0;
  std::string boot;

  bool operator==(const JournalEntry&) const = default;
};

// The id of the running boot ("" when it cannot be read).
std::string journal_BootId();

// The entry as it was last written or read (empty when there is none).
const JournalEntry& journal_Current();

// Replaces the journal with entry (its boot set to the running boot) and
// makes it the current entry. An entry with neither a road nor a member
// removes the journal instead.
kv::Status journal_Write(JournalEntry entry);

// Ends the road: road, step, item, found and attempts are cleared; with
// endMember the bundle member goes too. The journal is removed when nothing
// is left in it.
kv::Status journal_EndRoad(bool endMember);

// Reads the journal at start-up into the current entry. Records of the
// daemon's earlier versions (kvupdaterd.road, kvupdaterd.bundle,
// kvupdaterd.commit) are read once, turned into the entry they mean and
// removed; `legacy` then names the record, for the caller that has to
// finish what it meant. Returns the entry (empty when there is none).
JournalEntry journal_Load(std::string* legacy = nullptr);

// The entry's text and its parse, exposed for tests.
std::string journal_Format(const JournalEntry& entry);
JournalEntry journal_Parse(const std::string& text);

// True when the entry was written in an earlier boot (false when either
// boot id is unknown).
bool journal_FromEarlierBoot(const JournalEntry& entry);
