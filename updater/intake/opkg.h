// ipk packages: unpacking the control part and reading the control fields.
// Main thread only.
#pragma once

#include <cstddef>
#include <string>

inline constexpr std::size_t kControlFieldSize = 1001;  // at most 1000 characters

// Control fields of the last unpacked package.
struct OpkgControlInfo {
  char package[kControlFieldSize];
  char version[kControlFieldSize];
  char license[kControlFieldSize];
  char architecture[kControlFieldSize];
};

// Empties the four fields.
void opkg_ClearControlInfo();

// The record.
const OpkgControlInfo& opkg_GetControlInfo();

// Caps of the control data read from a package before its signature is
// checked. An honest control archive holds a control file of a few hundred
// bytes and maintainer scripts of a few KiB; the caps keep a crafted one
// (a gzip bomb: a few KiB that inflate to GiB) from costing more than that.
inline constexpr std::size_t kControlArchiveMax = 1024 * 1024;  // control.tar.gz as stored
inline constexpr std::size_t kControlTarMax = 4 * 1024 * 1024;  // control.tar.gz inflated
inline constexpr std::size_t kControlFileMax = 64 * 1024;       // its control file
// Bytes of the package read to find control.tar.gz: the member itself and
// the ar headers and small members before it (members are skipped unread).
inline constexpr std::size_t kControlSearchMax = kControlArchiveMax + 64 * 1024;

// Unpacks the control file of the package folder+name next to it: the only
// member the daemon reads before the signature check (the installer unit
// installs from the package itself). The package is read in process: its ar
// archive up to control.tar.gz (at most kControlSearchMax bytes read), that
// member (at most kControlArchiveMax bytes, as its header says and as read),
// inflated in memory (gzip only, at most kControlTarMax bytes), then the tar
// inside. A control archive that holds a device node, a FIFO or a member of
// another type is not unpacked ("... holds a device node, ..."), nor is one
// over a cap ("... exceeds its cap of N bytes, not unpacked"). control, a
// regular member of at most kControlFileMax bytes, is written as plain data
// through a private staging folder (unpack.h) and taken into the folder
// owned by the daemon's user with mode 0644, so a package can create or
// change no other file, inside the folder or outside it, before its
// signature is checked. Returns 0 when the package file is still present
// afterwards, 1 (error) when it is not.
int opkg_Unpack(const char* folder, const char* name);

// Reads folder+"control": for each line "Package", "Version", "License" or
// "Architecture" (exact keys) with a value, stores the value (the first run
// of characters that are not colon, blank, CR or LF; at most 1000 characters).
// Returns 4 minus the number of key lines taken, or 1 when the file cannot be
// opened (after the "fopen 'control' file" system error).
int opkg_extractControlInfo(const char* folder);

// 1 when a control "Package" value can serve as a file name and in command
// lines: not empty, not "." or "..", and without "/", '"' or '\''.
int opkg_IsPlainPackageName(const char* package);

// The version the package database (kOpkgDatabase) records for the installed
// package: the "Version" of the stanza whose "Package" is exactly package.
// Empty when the database cannot be read (missing, not a regular file, more
// than 4 MiB) or does not list the package.
std::string opkg_InstalledVersion(const char* package);
