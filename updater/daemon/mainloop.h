// Start-up sequence and the two-second polling loop of kvupdaterd.
#pragma once

// Watch folder, work folder and bundle folder names as the loop forms paths
// with them (prefix applied).
inline constexpr long kPassSleepMicroseconds = 2000000;

// Runs the start-up sequence: options, logger settings, removal of saved
// state, identification listeners, identity, folders, progress record;
// readiness (READY=1); then recovery of the road the journal names, the
// commit of a new image (which may park the daemon), the clean-up of earlier
// runs, and the "looking for changes" line. argv[0] is the program path
// that the banner names.
void mainloop_StartUp(int argc, char** argv);

// One pass of the polling loop: looks for one installer file and takes it
// along its road (road/road.h), or feeds the next bundle member; expires a stale install lock, sleeps two seconds and
// starts identification listeners on interfaces that came up.
void mainloop_Pass();

// Runs passes for ever, each followed by a watchdog ping. The daemon has no
// shutdown path.
[[noreturn]] void mainloop_Run();
