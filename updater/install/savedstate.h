// State saved by an OS image update for diagnosis.
#pragma once

// Deletes "<work folder>/status" (the package database copy taken before an
// OS update) and "<work folder>/app-data", ignoring failures, then syncs.
void doInstall_RemoveSavedState();
