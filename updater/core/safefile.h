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

#include "core/handles.h"
#include "core/result.h"

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
