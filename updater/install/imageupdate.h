// OS image update through the image updater (mender) and its commit after
// the restart. Markers in the watch folder carry the outcome across the
// restart: "IMAGEUPDATEOK.TXT" and "IMAGEUPDATEFAILED.TXT". They are written
// with statefile_Write (never through a link put in their place), and a
// marker counts only when the daemon's user made it (statefile_IsOwn).
#pragma once

#include <chrono>

inline constexpr const char* kImageFile = "IMAGE.CRY";
inline constexpr const char* kImageOkMarker = "IMAGEUPDATEOK.TXT";
inline constexpr const char* kImageFailedMarker = "IMAGEUPDATEFAILED.TXT";

// How long the image updater may run before it is ended and the update
// counts as failed: the environment variable's whole number of seconds, or
// 30 minutes when it is unset or not a positive number.
inline constexpr const char* kImageDeadlineEnvironment = "KVUPDATER_IMAGE_DEADLINE";
inline constexpr std::chrono::seconds kImageDeadlineDefault{30 * 60};
std::chrono::seconds doInstall_ImageDeadline();

// Saves diagnostic state, runs the updater on the work folder's IMAGE.CRY
// (where the loop took the image before checking its signature, out of
// reach of the watch folder's writers) with the display prepared for the
// platform, follows its progress (splash
// screen and progress record) and restarts the machine when the updater
// reports "Enabling partition". An updater still running at its deadline
// (doInstall_ImageDeadline) is ended; without the completion line that is a
// failure. The watchdog is widened for the deadline meanwhile. The caller's
// journal names the update while it runs (the services it stops are brought
// back by recovery). Returns 1 when the restart was requested (it does not return
// when the restart takes place), 0 on failure and in simulation mode.
int doInstall_RunMenderUpdate(const char* platform, int simulate);

// At start-up: when the OK marker exists and counts, or the journal's
// commit road is under way, commits the running image. The journal says
// "committing" before "mender commit" runs and "committed" once it exited
// with status 0; then the writable layer is cleaned and flushed, the user
// sync script runs, the marker and the road are removed and the daemon parks
// for ever (reporting readiness and feeding the watchdog). A start that finds
// "committed" does the steps after the commit without committing again. A
// start that finds "committing" commits again, and a refusal then counts as
// done: the updater refuses a commit when none waits, and the one cut off
// went through. A commit that fails is logged as an error and tried again at
// the next start; after kCommitAttempts failed starts it is given up with one
// error line, IMAGEUPDATEFAILED.TXT says what happened and the OK marker goes.
// The start-up goes on after a failure. Returns at once when there is nothing
// to commit, and in simulation mode (the marker stays). The marker is never
// trusted for more than starting a commit: an entry of its name that the
// daemon's user did not make (another user's file, a link, a FIFO) is
// removed with one line and commits nothing.
inline constexpr int kCommitAttempts = 3;
void doInstall_MenderCommit(int simulate);

// Removes four trees of the overlay's writable layer.
void doInstall_CleanUpperdir();

// Flushes the file systems and restarts the machine.
void doInstall_Reboot();

// The progress value of an updater output line: the decimal number that
// starts three characters before the first "%" (blanks skipped, a non-digit
// gives 0); -1 when the line has no "%".
int doInstall_ProgressOf(const char* line);
