// Replacing a file whole, never rewriting it in place: the new content goes
// to a temporary file beside the target, which is flushed and renamed over
// the target, and then the folder is flushed so that the new name lasts. A
// failure or a power cut leaves the old file or the new one, and a failure
// leaves no temporary file behind.
#pragma once

#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstddef>
#include <string_view>

#include "device.h"
#include "frame.h"

using PathText = FixedText<PATH_MAX>;

// How the temporary file beside the target is named.
enum class TemporaryName {
  // target.XXXXXX, a new name each time: for a target in a folder that other
  // people's files share.
  kUnique,
  // target.new: a file of that name is one an earlier replacement left when
  // it was cut off, and is removed before the new one is created.
  kFixed,
};

// What Commit did.
enum class ReplaceResult {
  kFailed,            // the target is as it was, the temporary file removed
  kReplaced,          // the new file stands under the target's name
  kFolderNotFlushed,  // renamed, but flushing the folder failed
};

// One replacement under way. Its temporary file is removed whenever the
// replacement ends before Commit renamed it, whatever path the caller took.
class FileReplacement {
 public:
  FileReplacement() noexcept = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // Creates the temporary file beside target (once per replacement): owner only, exclusive, never
  // through a link. target must be terminated and outlive the replacement.
  // False when the name does not fit or the file cannot be created.
  [[nodiscard]] bool Begin(std::string_view target, TemporaryName name) noexcept;
  // Writes all bytes, resuming after signals and short writes.
  [[nodiscard]] bool Write(const void* data, std::size_t size) noexcept;
  // Gives the new file the permission bits of like (the old file, as a
  // rule) and, when withOwner, its owner and group.
  [[nodiscard]] bool KeepAttributes(const struct stat& like, bool withOwner) noexcept;
  // Flushes the new file, renames it over the target and flushes the folder.
  [[nodiscard]] ReplaceResult Commit() noexcept;

 private:
  std::string_view target_;
  std::array<char, PATH_MAX> temporary_;  // terminated by Begin
  DeviceFd file_;
};

// Flushes a folder, so that a rename or removal in it lasts. False when it
// cannot be opened or flushed.
[[nodiscard]] bool replace_SyncFolder(const char* folder);
