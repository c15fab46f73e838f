// Durable replacement of the daemon's state files (the bundle manifest, the
// install lock, the image-update markers, saved state).
//
// A state file is never rewritten in place: the new content goes to a fresh
// file in the same folder, which is flushed, renamed over the old name, and
// the folder is flushed. A reader, or a start after a power cut, sees either
// the old content or the new one, never a part of it.
#pragma once

#include <sys/types.h>

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
