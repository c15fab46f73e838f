// The one place where the test tool starts shell commands.
#pragma once

#include <cstddef>
#include <string_view>

#include "frame.h"

// First output line of a command: at most 249 characters, line end included.
inline constexpr std::size_t kCommandOutputSize = 250;
using CommandOutput = FixedText<kCommandOutputSize>;

// How long a command may run before it is stopped. cat, echo, date and ls
// end at once; hwclock waits for the clock's next second and, on a clock
// that does not tick, gives up by itself after about ten seconds.
inline constexpr long kCommandDeadlineMs = 10000;
inline constexpr long kClockDeadlineMs = 20000;

// Runs a command line through the shell ("/bin/sh -c") in a process group of
// its own, with standard input from /dev/null, and waits for it at most
// deadlineMs. A command still running then, or when the tool is asked to
// stop (SIGTERM, SIGINT, SIGHUP), is killed with its whole process group;
// whatever the command left running in its group is killed when it ends.
// True when the shell exited with status 0 in time.
bool pcba_RunCommand(const char* command, long deadlineMs = kCommandDeadlineMs);

// As pcba_RunCommand, reading the command's standard output through a pipe:
// keeps the first line (line end included when there is one) in out. out
// stays empty when the command prints nothing or cannot be started; a
// command stopped at its deadline keeps what it printed before.
void pcba_ReadCommandLine(const char* command, CommandOutput& out, long deadlineMs = kCommandDeadlineMs);
