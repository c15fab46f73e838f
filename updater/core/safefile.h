// Opening files that someone else may have put at a name the daemon reads or
// appends to (configuration files, records, logs, drops): one place that
// never follows a symbolic link, never waits on a FIFO, admits only regular
// files, and reads with a cap. Every file the daemon opens by name goes
// through here or through statefile_.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/handles.h"
#include "core/result.h"

// Caps of the reads of the device's small text files: the INI files,
// "/image_info", "/etc/resolv.conf", "sshd_config" and the systemd network
// files hold a few hundred bytes to a few KiB each; a file beyond the cap is
// refused rather than read in part.
inline constexpr std::size_t kSafeFileTextCap = 64 * 1024;

// Opens path read-only (flags may add O_PATH-free extras such as O_NOATIME)
// without following a symbolic link at its last component and without
// waiting on a FIFO; the entry must be a regular file. st, when given,
// receives its fstat. Errors read as predicates of the file: "is missing",
// "is not a regular file", "cannot be opened: <reason>".
kv::Result<kv::Fd> safefile_OpenRegular(const std::string& path, struct stat* st = nullptr);

// The whole content of the regular file at path, opened as above, when it
// holds at most maxBytes bytes; a larger file is an error ("is larger than N
// bytes"), never a truncated read.
kv::Result<std::string> safefile_Read(const std::string& path, std::size_t maxBytes);

// Opens path for appending, creating it with mode when missing, without
// following a symbolic link and without waiting on a FIFO; an existing entry
// must be a regular file with a single link.
kv::Result<kv::Fd> safefile_OpenAppend(const std::string& path, mode_t mode);

// True when the regular file fd (st its fstat) holds every byte of its size
// on disk: no hole before its end. A sparse file claims more bytes than it
// costs to make, so reading it whole (a checksum, a signature, a decryption)
// would cost more than the drop did; such a file is refused before any of
// that work starts. A file system that cannot tell holes counts as dense.
bool safefile_IsDense(int fd, const struct stat& st);

// True when error (from the functions above) means the file is missing, as
// opposed to an entry that was refused (a link, a FIFO, a folder, a file too
// large) or could not be opened.
bool safefile_IsMissing(const kv::Error& error);

// Logs, once per change, why the entry at path was refused: "<who>, <path>
// <reason>" at level 1 with error priority. Callers that read a file again
// for every request (the identification answers reload the identity and the
// interface configuration each time) would otherwise let whoever put the
// entry there add a line to the log with every request; the line is logged
// again only when the reason or the entry itself (its inode, type, size or
// times, without following a link) has changed since the last line for path.
// Returns whether the line was logged.
bool safefile_LogRefusal(std::string_view who, const std::string& path, const kv::Error& error);

// Flushes the folder's entries (fsync on the folder itself): a rename, link
// or removal in it that a later step relies on survives a power cut.
kv::Status safefile_FlushFolder(const std::string& folder);
