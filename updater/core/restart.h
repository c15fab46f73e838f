// Restarting the machine.
#pragma once

// Exit status with which the daemon ends, instead of restarting the machine,
// while a sandbox root is set (KVUPDATER_ROOT).
inline constexpr int kSandboxRestartExitStatus = 75;

// Flushes the file systems and restarts the machine (reboot system call,
// LINUX_REBOOT_CMD_RESTART). In a sandbox the machine is never restarted: the
// daemon logs "Restart requested, sandbox root set: exiting with status 75
// instead of restarting the machine" at level 0 and ends with that status.
// Does not return when the restart (or the sandbox exit) takes place; returns
// -1 when the restart system call failed.
int platform_Restart();
