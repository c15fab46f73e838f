// Taking a file into a folder that only the daemon can write before anything
// reads it: whatever is checked afterwards is then the file that is used, and
// nobody else can change it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "core/result.h"

// What stands at a name, as far as intake cares: an entry it may take (a
// regular file with a single link), or one it refuses.
bool take_IsPlainFile(const struct stat& st);

// Whether a process other than this one holds the regular file fd open
// (reading, writing or mapped; a descriptor in flight through a socket or
// registered with the kernel counts too): the kernel refuses a write lease
// while any other open file description of the file exists. Returns 1 when
// held, 0 when free, -1 when the file system does not grant leases (the
// caller must then not rely on the answer). Takes and drops the lease at
// once; fd must be open read-only.
int take_HeldByOthers(int fd);

// Takes the entry at from into to (in a folder only the daemon can write)
// and guarantees what is then at to:
//  - it is the regular, single-link, dense file that stood at from when it
//    was opened; an entry that is anything else (a folder, a link, a FIFO,
//    something swapped in at the name after the scan) is never moved: the
//    take fails and nothing at from or to changes;
//  - it belongs to the daemon's user with mode 0644, and no other process
//    holds an open file description of it (checkHeld; by the kernel's lease
//    check, not by a look at /proc): so nobody but the daemon can ever write
//    it again;
//  - where the two folders lie on different file systems, or the file system
//    grants no leases, it is a private copy of exactly the bytes the file
//    held, made by the daemon into a file only it ever opened; a copy that
//    fails (no space) leaves nothing behind.
//  - it holds at most maxBytes bytes (when maxBytes is not negative),
//    judged once nobody else can write it any more.
// The name at from is removed once the file is in place, if it still names
// the same file. On failure the error says why, as a predicate of the file
// ("is held open by another process"); a busy file gets its owner and mode
// back, so an upload in progress may still finish.
kv::Status take_File(const std::string& from, const std::string& to, bool checkHeld, off_t maxBytes = -1);

// Prefix of the names under which a file is placed beside its final name;
// what a kill leaves behind under it is removed by take_RemoveLeftovers.
inline constexpr std::string_view kTakeTempPrefix = ".kvtake-";

// Removes the files a kill during a take left in folder. Returns how many.
int take_RemoveLeftovers(const std::string& folder);

// The system calls the take makes at its seams, replaceable so that tests
// can play a full disk. take_SetOps(nullptr) restores the real ones.
struct TakeOps {
  ssize_t (*write)(int fd, const void* data, size_t n);
  int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
};
void take_SetOps(const TakeOps* ops);
