// Fixed paths of the device, and the root prefix through which every one of
// them passes.
//
// On a controller the prefix is empty and every path is exactly the device's.
// A sandbox on a development machine sets the environment variable
// KVUPDATER_ROOT to a folder that stands in for "/"; the prefix is read once
// (paths_Init, at start-up) and then applies to folders, files and the
// absolute program paths alike. The prefix must consist only of characters
// that cmd_Run admits, since it becomes part of command lines.
#pragma once

#include <string>
#include <string_view>

namespace devpath {
inline constexpr std::string_view kWatchFolder = "/opt/kv2/swfw/";
inline constexpr std::string_view kWorkFolder = "/home/root/";
inline constexpr std::string_view kBundleFolder = "/home/root/bundle/";
inline constexpr std::string_view kEtcFolder = "/etc/";
inline constexpr std::string_view kUpdateLog = "/opt/kv2/log/update.log";
inline constexpr std::string_view kImageInfo = "/image_info";
inline constexpr std::string_view kAppConfig = "/opt/kv2/etc/appname.config";
inline constexpr std::string_view kNetConfig = "/opt/kv2/etc/netinterfaces.config";
inline constexpr std::string_view kNetConfigBackup = "/opt/kv2/etc/netinterfaces.bak";
inline constexpr std::string_view kSshdConfig = "/etc/ssh/sshd_config";
inline constexpr std::string_view kResolvConf = "/etc/resolv.conf";
inline constexpr std::string_view kSystemdNetwork = "/etc/systemd/network/";
inline constexpr std::string_view kBacklight = "/sys/class/backlight/backlight/brightness";
inline constexpr std::string_view kUpperDir = "/data/upperdir";
inline constexpr std::string_view kOpkgStatus = "/data/upperdir/var/lib/opkg/status";
// The package database as opkg sees it (the image's, or the writable
// layer's copy once a package was installed).
inline constexpr std::string_view kOpkgDatabase = "/var/lib/opkg/status";
// Device setting: while this regular file of root's exists, the daemon's own
// package and the OS image may be replaced by older versions.
inline constexpr std::string_view kAllowDowngrade = "/home/root/.allow-downgrade";
// Device setting: the user the application's service runs as, one user name
// in a regular file of root's (anyone else's file names nobody). The
// application's JSON-RPC listener is believed when root or this user owns it.
inline constexpr std::string_view kAppUser = "/etc/kvupdaterd/app-user";
inline constexpr std::string_view kPublicKey = "/home/root/.sign/ipksignkeypublic.pem";
inline constexpr std::string_view kSyncUsers = "/home/root/sync-users.sh";
inline constexpr std::string_view kSystemLogCopy = "/var/log/quorvanlog";
// Changes with every start of the machine.
inline constexpr std::string_view kBootId = "/proc/sys/kernel/random/boot_id";
inline constexpr std::string_view kAr = "/usr/bin/ar";
inline constexpr std::string_view kTar = "/bin/tar";
}  // namespace devpath

// Name of the environment variable that holds the sandbox root.
inline constexpr const char* kRootEnvironment = "KVUPDATER_ROOT";

// Reads the root prefix from the environment (unset or empty means "/").
// A trailing slash of the prefix is dropped. Called once at start-up.
void paths_Init();

// Sets the root prefix directly; for tests and tools that host the daemon's
// functions. An empty text means the real device root.
void paths_SetRoot(std::string_view root);

// The root prefix without trailing slash; empty on a device.
const std::string& paths_Root();

// 1 when a sandbox root is set, 0 on a device.
int paths_IsSandboxed();

// The root prefix followed by the given absolute device path.
std::string paths_Device(std::string_view devicePath);

// The three working folders with the prefix applied, each with its trailing
// slash, in storage that lives as long as the process (until the root changes).
const char* paths_WatchFolder();
const char* paths_WorkFolder();
const char* paths_BundleFolder();
