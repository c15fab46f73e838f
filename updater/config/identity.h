// Device identity: the platform the daemon runs on (from the OS image's
// description file "/image_info") and the application's software identity
// (from the INI file "/opt/kv2/etc/appname.config").
//
// Locking: one configuration lock (config_Lock) serialises config_LoadIdData,
// LoadNetConfig and every reader that copies fields out of DeviceIdData or the
// interface configuration table. Threads other than the main thread during
// start-up use the snapshot and update functions below, which take the lock
// themselves. The lock is not recursive: never call a function of this module
// or of netconfig.h while holding it yourself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

// Width of each text field of DeviceIdData (99 characters and the terminator).
inline constexpr std::size_t kIdTextSize = 100;

// Image types, decided by the start of the "image_machine" value.
inline constexpr int kImageTypeUnknown = 0;
inline constexpr int kImageTypeKv2Touch = 1;  // "kv2t..."
inline constexpr int kImageTypeKorvelR = 2;   // "kvretro..."
inline constexpr int kImageTypeKorvelSr = 3;  // "kvsr..."

// The process-wide identity record. Text fields in the order of the
// application config's keys, then ten one-byte security flags (flags 1 to 10)
// that the identification protocol writes and reports.
struct DeviceIdData {
  char platformName[kIdTextSize];           // "platformname"
  char productName[kIdTextSize];            // "productname"
  char name[kIdTextSize];                   // "name"
  char swPartNumber[kIdTextSize];           // "swpartnumber"
  char swRevision[kIdTextSize];             // "swrevision"
  char swRevShort[kIdTextSize];             // "swrevshort"
  char buildDateNum[kIdTextSize];           // "builddatenum"
  char buildDate[kIdTextSize];              // "builddate"
  char swBuildNumber[kIdTextSize];          // "swbuildnumber"
  char swBuildSequenceNumber[kIdTextSize];  // "swbuildsequencenumber"
  std::uint8_t reserved1;                   // flag 1, always 0
  std::uint8_t sftpEnabled;                 // flag 2 (default 1)
  std::uint8_t reserved3;                   // flag 3, always 0
  std::uint8_t pcommPortFree;               // flag 4
  std::uint8_t reserved5;                   // flag 5, always 0
  std::uint8_t reserved6;                   // flag 6, always 0
  std::uint8_t writeBackup;                 // flag 7
  std::uint8_t forceSsl;                    // flag 8
  std::uint8_t digestAccess;                // flag 9
  std::uint8_t remoteAuthentication;        // flag 10 (0 to 3)
};

// The one configuration lock (see above).
std::mutex& config_Lock();

// Sets the platform from the image type, creates the watch folder when it is
// missing (mode 0770), and sets its group ("chgrp admin") and mode 0770.
// Called once at start-up, before config_LoadIdData and before any listener
// thread starts.
void config_Init();

// The image type 0 to 3 from the last "image_machine" line of "/image_info";
// 0 when the file cannot be read or the value matches no platform.
int config_GetImageType();

// The OS image revision: the value of the last "image_version" line of
// "/image_info". Returns null when no revision is known: the file cannot be
// read or holds no "image_version" line. Callers MUST treat null as a
// revision that matches nothing (never equal to any bundle's revision) and
// report it as unknown. The text lives in a buffer of the calling thread
// (1034 bytes) that the thread's next call overwrites; other threads' calls
// do not touch it, so the function is safe to call from any thread.
const char* config_GetImageRev();

// Resets DeviceIdData to its defaults, empties the platform texts and, for
// image types 1 to 3, fills them from the platform table.
void config_SetPlatform(int imageType);

// The platform name ("kv2-touch", "korvel-r", "korvel-sr" or empty), matched
// against bundle manifests, and the platform identifier ("KV2_TOUCH",
// "KORVEL_R", "KV_SR" or empty), matched against a CRY header's PLATFORMNAME.
// Written only by config_Init before threads start; read freely afterwards.
const char* config_GetPlatformName();
const char* config_GetPlatformId();

// Fills DeviceIdData from "/opt/kv2/etc/appname.config" under the
// configuration lock: when the file's first section name contains
// "appconfig", each present key is copied (cut to 99 characters); missing
// keys and an unloadable file leave the record as it was.
void config_LoadIdData();

// The record itself. Only for the main thread before listeners start, or for
// a caller that holds config_Lock(); everyone else uses the snapshot.
DeviceIdData& config_GetIdData();

// Clears the record and writes the defaults (under the lock).
void config_SetIdDefaults();

// A consistent copy of the record, taken under the lock.
DeviceIdData config_SnapshotIdData();

// Security flags as the identification protocol sets them.
struct IdSecurityFlags {
  std::uint8_t sftpEnabled;
  std::uint8_t pcommPortFree;
  std::uint8_t writeBackup;
  std::uint8_t forceSsl;
  std::uint8_t digestAccess;
  std::uint8_t remoteAuthentication;
};

// Writes the six reported flags under the lock (flags 1, 3, 5, 6 stay 0).
void config_SetSecurityFlags(const IdSecurityFlags& flags);

// Runs f(DeviceIdData&) under the lock, for a caller that must read or change
// several fields as one step. f must not call functions of this module.
template <typename F>
void config_UpdateIdData(F&& f) {
  std::lock_guard<std::mutex> guard(config_Lock());
  f(config_GetIdData());
}
