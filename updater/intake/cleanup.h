// The install lock and the removal of installer artefacts from the watch,
// work and bundle folders. Paths are the folder (with its trailing slash)
// followed by the name. Main thread only.
#pragma once

#include <initializer_list>

inline constexpr const char* kLockName = "install.lock";
inline constexpr long kLockExpirySeconds = 900;

// Removes every file of the folder whose extension equals ext (ignoring case,
// the whole extension: "IPK" leaves x.IPKTMP). Returns 0, or 1 (after the
// "scandir" system error) when the folder cannot be listed.
int scandir_Deletefiles(const char* folder, const char* ext);

// scandir_Deletefiles that leaves the file named keep (null or empty: none).
int scandir_DeletefilesExcept(const char* folder, const char* ext, const char* keep);

// scandir_Deletefiles for lock files of a folder that other programs use
// (/etc): a file is removed only when no process holds a lock on it, asked
// with lock requests that do not wait (a record lock, as lckpwdf takes on
// /etc/.pwd.lock, and a whole-file flock); a held one stays with a line at
// level 2. Only regular files are opened, without following links.
int scandir_DeleteUnheldLocks(const char* folder, const char* ext);

// Removes each named file of the folder that exists; missing names are passed
// over silently.
void scandir_DeleteSomefiles(const char* folder, std::initializer_list<const char*> names);

// Writes the lock: "created: <local time>", "timestamp: <epoch seconds>",
// "Install file: <installer path>", each on its own line. The lock replaces
// whatever entry stood at its name (statefile_Write): a symbolic link or a
// FIFO put there is neither written through nor waited for.
void scandir_CreateLockfile(const char* folder, const char* lockName, const char* installerPath);

// 1 when folder+lockName is a lock the daemon's user made: a regular file
// with a single link, owned by that user (root on a device). Anything else
// of that name (another user's file, a link, a FIFO) holds no lock.
int scandir_LockHeld(const char* folder, const char* lockName);

// 1 when the lock's timestamp is more than expiry seconds old or more than
// expiry seconds in the future, or the lock has no timestamp line; 0 when it
// is fresh, absent, not one the daemon's
// user made (scandir_LockHeld) or cannot be opened. Only its first 64 KiB
// are read.
int scandir_LockfileExpired(const char* folder, const char* lockName, long expirySeconds);

// 1 when folder+name exists, else 0.
int scandir_FileExists(const char* folder, const char* name);
