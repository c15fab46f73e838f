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
// left in found (kFoundNameSize bytes). A file that FileReady found busy,
// and a bundle while another bundle is being worked through, are looked at
// only after the others, so that neither keeps every other file waiting.
// Returns the kind, 0 when nothing is to be installed or the folder cannot
// be listed.
//
// The scan remembers its verdict on each entry together with the entry's
// device, inode, size and change time; while these stay, the entry is not
// read again and nothing is logged of it again (an idle pass costs one
// lstat per entry, and one lease request per busy entry). Verdicts go with
// the names that leave the folder. What the scan refuses:
//  - a name holding a blacklisted character ("Blacklisted file: %s"), or a
//    character that the command runner refuses, is removed (that entry only)
//    and ends the scan with 0; both lines have error priority, since such a
//    drop is lost;
//  - an entry that is not a regular file with a single link (a folder, a
//    FIFO, a device node, a symbolic or hard link) is passed over with one
//    log line and set aside until it changes;
//  - a CRY file whose whole header names no type the daemon takes is removed
//    once no process holds it open any more; one whose header has not ended
//    yet (still being written) waits until it changes.
// Entries that cannot be removed (a folder that is not empty) are set aside
// until they change, and so is a file whose take failed.
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
// The file is opened once (no link followed, no FIFO waited on; only a
// regular file is read) and both come from that descriptor.
int scandir_getCRYFileTypeFromHeader(const char* folder, const char* name);

// The same header walk over header bytes already read (n bytes, at most 500
// are used), without the checksum step; for tests and fuzzing.
int scandir_CryTypeFromText(const char* data, std::size_t n);

// 1 when the name holds none of & LF CR | ` ' $ % " < > ; *, else 0 after
// the level-1 line "Blacklisted file: %s".
int scandir_CheckBlacklist(const char* name);

// The character of name that makes the scan refuse it, or NUL when it takes
// the name: a blacklisted one, or one that the command runner does not admit
// (the name could not be carried by the command lines that move and unpack
// the file). Logs nothing.
char scandir_RefusedNameCharacter(const char* name);

// 1 when no other process holds folder+name open or mapped, 0 when one does
// (after the level-1 line "Main,  FileReady() file is busy %s\n", said once
// for each state of the file). The kernel tells, through a lease request on
// a descriptor of the file; no command line carries the name. A missing
// file counts as free.
int FileReady(const char* folder, const char* name);

// Takes folder+name out of the watch folder into toFolder+toName before
// anything reads it (take_File, with the busy check): the checks that
// follow, and the command that uses the file, all see the file that was
// checked, and nobody else can change it. Returns 1 when taken; 0 after one
// error line saying why it was not. What was not taken stays where it was
// and is set aside until it changes (a busy one waits as a busy file does).
int scandir_TakeFile(const char* folder, const char* name, const char* toFolder, const char* toName);

// The checksum record: the checksum from the last CRY file name that carried
// one and the md5 sum computed over that file (both empty after a mismatch).
struct ChecksumRecord {
  char fromName[50];
  char computed[50];
};
const ChecksumRecord& scandir_GetChecksumRecord();
