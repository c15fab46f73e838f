// Durable replacement of the daemon's state files (the bundle manifest, the
// install lock, the image-update markers, saved state).
//
// A state file is never rewritten in place: the new content goes to a fresh
// file in the same folder, which is flushed, renamed over the old name, and
// the folder is flushed. A reader, or a start after a power cut, sees either
// the old content or the new one, never a part of it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/result.h"

// Prefix of the temporary names the writer uses; what a kill leaves behind
// under it is removed by statefile_RemoveLeftovers.
inline constexpr std::string_view kStateTempPrefix = ".kvstate-";

// Replaces the file at path with content. The temporary file is created with
// O_EXCL and O_NOFOLLOW under a fresh name, so nothing that another user put
// into the folder (a link, a FIFO) is written through or blocks the call;
// the rename replaces whatever entry stood at path (a symbolic link there is
// replaced, never followed). The file gets the given mode. On failure the
// temporary file is removed, path keeps its old content and the error names
// the step that failed.
kv::Status statefile_Write(const std::string& path, std::string_view content, mode_t mode = 0644);

// The same replacement with the bytes that a read from fd yields, from its
// current offset to its end (a package copied into place). A read error fails
// the call like a write error.
kv::Status statefile_CopyFrom(int fd, const std::string& path, mode_t mode = 0644);

// Gives the open file fd (already written and flushed) the name path, without
// copying a byte: a new link to it is made under a fresh name beside path and
// renamed over path, and the folder is flushed. Whatever entry stood at path
// is replaced, never followed. The file keeps its owner and mode; until its
// other names are removed it has more than one link.
kv::Status statefile_LinkFrom(int fd, const std::string& path);

// True when st (from lstat or fstat) describes a file this daemon made: a
// regular file with a single link, owned by the daemon's user (root on a
// device). Another user can put links, FIFOs and files of his own beside the
// daemon's state files, and rename the daemon's files, but cannot make one
// of these.
bool statefile_IsOwnStat(const struct stat& st);

// statefile_IsOwnStat for the entry at path, looked at without following a
// symbolic link; false when there is none.
bool statefile_IsOwn(const std::string& path);

// The first maxBytes bytes (at most) of the state file at path. The file is
// opened without following a symbolic link and without waiting (a FIFO in
// its place is refused, never waited for), and must be one the daemon made
// (statefile_IsOwnStat); otherwise the error says why.
kv::Result<std::string> statefile_Read(const std::string& path, std::size_t maxBytes);

// Removes temporary files that a kill during statefile_Write left in folder
// (names beginning with kStateTempPrefix). Returns how many were removed.
int statefile_RemoveLeftovers(const std::string& folder);

// The system calls the writer makes, replaceable so that tests can make any
// of them fail. statefile_SetOps(nullptr) restores the real ones.
struct StateFileOps {
  ssize_t (*write)(int fd, const void* data, size_t n);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};
void statefile_SetOps(const StateFileOps* ops);

// Removes the state file at path and flushes its folder, so that the removal
// survives a power cut as a replacement does. A missing file is no error.
kv::Status statefile_Remove(const std::string& path);

// The value of the first "key: value" line of a state file's text (blanks
// after the colon skipped, up to the end of the line); empty when there is
// none.
std::string statefile_Field(std::string_view text, std::string_view key);
