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

// Unpacks the package folder+name next to it: the ar members debian-binary,
// control.tar.gz and the data archive (data.tar.gz or data.tar.xz), and from
// control.tar.gz the files control, preinst, postinst, prerm and postrm.
// The archives are extracted with the platform's ar and tar into a private
// folder first, as plain data (unpack.h: no owner, mode or special file of a
// member comes through, and a control archive holding a device node or a
// FIFO is not extracted); only those names, and only as regular files with a
// single link, are then moved into the folder, owned by the daemon's user
// with mode 0644, so a package can create or change no other file, inside
// the folder or outside it, before its signature is checked. Returns 0 when the package file is still present
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
