// Command-line options of kvupdaterd.
#pragma once

#include <argp.h>

#include <cstdint>

struct DaemonOptions {
  std::int32_t verboseLevel = 0;  // logger's verbose level
  std::int32_t logToStdout = 0;   // 1: echo log lines on standard output
  std::uint8_t simulate = 0;      // 1: log what would be installed instead of installing
};

// The process-wide options, written only before the polling loop starts.
DaemonOptions& options_Get();

// Parses the command line with argp (flags 0): -v/--verbose LEVEL,
// -l/--log-to-stdout, -s/--simulate and argp's --help, --usage, --version.
// A usage error (a non-option argument included) ends the program with argp's
// usage message and status. After a successful parse one empty line is printed.
void options_Parse(int argc, char** argv);

// argp key callback: takes the three options, refuses every other key.
error_t options_ParseKey(int key, char* arg, struct argp_state* state);
