// The one place where the test tool starts shell commands.
#pragma once

#include <cstddef>
#include <string_view>

#include "frame.h"

// First output line of a command: at most 249 characters, line end included.
inline constexpr std::size_t kCommandOutputSize = 250;
using CommandOutput = FixedText<kCommandOutputSize>;

// Runs a command line through the shell and waits for it. True when the
// shell exited with status 0; most steps do not look at it and report what
// they read back, not what the tools say.
bool pcba_RunCommand(const char* command);

// Runs a command line through a pipe and keeps the first line of its output
// (line end included when there is one) in out; out stays empty when the
// command prints nothing or cannot be started.
void pcba_ReadCommandLine(const char* command, CommandOutput& out);
