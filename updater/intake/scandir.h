// Watch folder scan and classification of installer files. Main thread only.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <initializer_list>
#include <string>

// Kind of an installer file found in the watch folder.
enum InstallerKind : int {
  kInstallerNone = 0,
  kInstallerAppCry = 1,  // encrypted application container
  kInstallerIpk = 2,     // plain ipk package
  kInstallerImage = 3,   // OS image "IMAGE.CRY"
  kInstallerBundle = 5,  // bundle container
};

// Size of the caller's found-name buffer (at most 255 characters of name).
inline constexpr std::size_t kFoundNameSize = 256;

// Lists the folder (alphabetical byte order), keeps the entries whose
// extension is one of the given ones, and classifies them from the last to
// the first: the first with a non-zero kind ends the scan, and its name is
// left in found (kFoundNameSize bytes). A name holding a blacklisted
// character empties the watch folder of installer artefacts and ends the scan
// with 0. An entry that is not a regular file with a single link (a folder, a
// FIFO, a device node, a symbolic or hard link) is passed over with a log line:
// such an entry could block the loop, make a checksum read never end, or let
// another link change a package after its check. Returns the kind, 0 when
// nothing is to be installed or the folder cannot be listed.
int scandir_FindInstaller(const char* folder, char* found, std::initializer_list<const char*> extensions);

// scandir filter: 1 keeps an entry whose extension is in the filter table.
int scandir_FilterByExtension(const struct dirent* entry);

// The text after the last dot of the name, or the empty text.
std::string scandir_GetExtension(const char* name);

// Kind of one file: "IMAGE.CRY..." is 3; an extension starting "IPK" is 2;
// an extension starting "CRY" is classified by its header (or 3 when the name
// begins "IMAGE"); anything else is 0. Case is ignored for the extensions.
int scandir_GetFileType(const char* folder, const char* name);

// 5 (bundle), 1 (application container) or 0 from the FILETYPE line of the
// CRY header in the first 500 bytes of folder+name. Also records a checksum
// carried in the name ("<x>_<32 hex digits>.CRY") against the file's md5 sum.
int scandir_getCRYFileTypeFromHeader(const char* folder, const char* name);

// The same header walk over header bytes already read (n bytes, at most 500
// are used), without the checksum step; for tests and fuzzing.
int scandir_CryTypeFromText(const char* data, std::size_t n);

// 1 when the name holds none of & LF CR | ` ' $ % " < > ; *, else 0 after
// the level-1 line "Blacklisted file: %s".
int scandir_CheckBlacklist(const char* name);

// 1 when no process holds folder+name open ("fuser" prints nothing), 0 when
// one does; a failure to run fuser counts as free.
int FileReady(const char* folder, const char* name);

// The checksum record: the checksum from the last CRY file name that carried
// one and the md5 sum computed over that file (both empty after a mismatch).
struct ChecksumRecord {
  char fromName[50];
  char computed[50];
};
const ChecksumRecord& scandir_GetChecksumRecord();
