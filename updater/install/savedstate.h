// State saved by an OS image update for diagnosis.
#pragma once

// Deletes "<work folder>/status" (the package database copy taken before an
// OS update) and "<work folder>/app-data", ignoring failures, then syncs.
void doInstall_RemoveSavedState();

// Copies the system log to "<work folder>quorvanlog<stamp>" (stamp: the
// local time as "%Y%m%d%H%M"). The copy replaces the file whole
// (statefile_CopyFrom): a kill leaves no part of it under that name.
void doInstall_SaveSystemLog(const char* stamp);

// Copies the package database of the writable layer to "<work folder>status"
// the same way.
void doInstall_SavePackageDatabase();
