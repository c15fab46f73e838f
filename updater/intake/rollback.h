// Downgrades: signed software that is older than what runs is not installed
// unless the device allows it. An old package keeps its valid signature for
// ever; without this, anyone who kept one could put the device back onto the
// faults it was updated to leave. Main thread only.
#pragma once

// 1 when the device setting kAllowDowngrade exists as a regular file with a
// single link owned by the daemon's user (root on the device), else 0. A
// file of anyone else's allows nothing.
int rollback_DowngradeAllowed();

// 1 when candidate is older than running (version_Compare) and downgrades
// are not allowed, else 0. An empty candidate or running version is unknown
// and refuses nothing.
int rollback_Refused(const char* candidate, const char* running);
