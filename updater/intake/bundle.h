// Bundles: one container carrying several members (OS image, the daemon's own
// package, the application package and others) with a JSON manifest
// "allinfo.json". A bundle is unpacked into the bundle folder; afterwards, in
// every pass with nothing else to install, one member is moved into the watch
// folder by the manifest's order of preference. Main thread only.
#pragma once

#include <cJSON.h>

#include <cstddef>

// Result of scandir_CheckAndPrepInstaller when the manifest is empty, used up
// or unreadable: the bundle folder is to be cleared.
inline constexpr int kBundleCleanup = 10;

// The largest manifest the daemon reads, and the most items it takes. The
// manifest comes from a payload that nobody signed and is read again in every
// idle pass: without a bound, one bundle could make each pass allocate and
// parse without end, and every restart meet the same manifest. An honest
// manifest lists a handful of members in a few hundred bytes each.
inline constexpr long kManifestMaxBytes = 256 * 1024;
inline constexpr int kManifestMaxItems = 1000;

// Creates the bundle folder: runs "mkdir -p \"%s%s\"" with the work folder
// and "bundle/" through cmd_Run.
void bundle_CreateFolder();

// Payload offset of a bundle file: the last HEADERLENGTH value among the
// header lines that are examined (the first line, and later lines ended by CR
// LF); 0 when there is none or the file cannot be read.
int bundle_GetHeaderLength(const char* folder, const char* name);

// The same over header bytes already read (n bytes, at most 1000 used).
int bundle_HeaderLengthFromText(const char* data, std::size_t n);

// Takes the bundle into the work folder (scandir_TakeFile: nothing of it is
// read before it lies where only the daemon can write), and unpacks its
// payload, a plain tar from HEADERLENGTH to the end, into the bundle folder,
// read in process. The payload is not signed, so it is unpacked as plain data
// (unpack.h) and bounded by what the file holds: a sparse file, a payload
// that is not an uncompressed tar, one that holds a device node or a FIFO,
// and one whose members claim more bytes than it holds are refused with one
// line each, and nothing of them is unpacked. Only regular members whose
// names are plain file names (bundle_IsPlainFileName) are written, through a
// private staging folder, and moved into the bundle folder owned by the
// daemon's user with mode 0644. The bundle file is removed afterwards.
// Returns 1 when the payload was unpacked, 0 on failure or refusal.
int bundle_UnPack(const char* watchFolder, const char* name, const char* workFolder);

// The unpack of a bundle already taken into the work folder as `name`: the
// part of bundle_UnPack after the take. Members are moved into the bundle
// folder with the manifest last, so that a manifest there means the whole
// bundle is.
int bundle_UnPackTaken(const char* workFolder, const char* name);

// Manifest operations over a cJSON array. Keys match without regard to case;
// a missing key or a value that is not a string matches nothing.
int bundle_FindItem(const cJSON* manifest, const char* key, const char* value);
int bundle_FindItemPair(const cJSON* manifest, const char* key1, const char* value1, const char* key2,
                        const char* value2);
// Copy of the value (at most 500 characters) in a buffer that the next call
// overwrites; empty when the item has no such string.
const char* bundle_GetItemString(const cJSON* manifest, const char* key, int index);
// 1 when the item's value contains the text. An empty text (the platform
// name of a device of unknown type) is contained in nothing.
int bundle_ItemContains(const cJSON* manifest, const char* key, const char* text, int index);
// Removes item index, then writes the remaining array (formatted) to the path
// (statefile_Write: a new file renamed over the old one).
void bundle_RemoveItemAndSave(const char* path, cJSON* manifest, int index);

// 1 when a manifest "fileName" names a file inside the bundle folder: not
// empty, not "." or "..", and without "/", '"' or '\''.
int bundle_IsPlainFileName(const char* name);

// 1 when the watch folder scan would take a file of this name: its extension
// is CRY or IPK (ignoring case). A member of another name is neither a
// container nor a package; moved into the watch folder it would stay there
// for ever.
int bundle_IsInstallerName(const char* name);

// 1 while an unpacked bundle is being worked through: its manifest lies in
// the bundle folder (until the pass that finds it used up clears the folder).
// Another bundle is not unpacked meanwhile: it would overwrite the manifest
// and the members of the first.
int bundle_Pending();

// 1 when an image item of revision swRev is dropped as older than the running
// revision (rollback_Refused: unless the device allows downgrades). The
// revision is the manifest's, which nobody signs: this keeps an honest old
// bundle from taking the device back, not a forged manifest.
int bundle_ImageRefusedAsOlder(const char* swRev, const char* running);

// Picks the next member of the unpacked bundle (own package, OS image,
// application ipk, application container, then the rest in array order),
// moves it into the watch folder and drops it from the manifest. A member
// that is neither a container nor a package (bundle_IsInstallerName) is not
// moved: its file is deleted and its item dropped. Returns 0
// (nothing moved), 1 (application container), 2 (own package or application
// ipk), 3 (OS image), 4 (other member) or kBundleCleanup (also for a
// manifest beyond kManifestMaxBytes or kManifestMaxItems, refused with one line).
int scandir_CheckAndPrepInstaller(const char* bundleFolder, const char* watchFolder);
