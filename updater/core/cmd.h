// Shell command execution. Every command the daemon starts goes through here.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/handles.h"

// Longest command line cmd_Run accepts.
inline constexpr std::size_t kCmdMaxLength = 400;

// 1 when every byte of the line is one cmd_Run admits: letters, digits and
// - _ " ' / @ space : .   Returns 0 and stores the first refused byte in
// *refused otherwise.
int cmd_IsAllowedLine(std::string_view line, char* refused);

// The check cmd_Run makes before it runs a line: 1 when the line would be
// run; 0 for a null, empty or over-long line (no message) and for a line
// holding any other character (the level-0 message "Illegal character %c in
// command: \"%s\"").
int cmd_Check(const char* line);

// Runs a line that embeds outside names when cmd_Check admits it: hands it to
// the shell, waits for it and returns 1; the command's own exit status is
// not examined. Returns 0 for a refused line.
int cmd_Run(const char* line);

// Runs a fixed line through the shell without any check and waits for it; a
// null line does nothing. Always returns 0.
int cmd_System(const char* line);

// Starts a command whose output the caller reads (popen, read mode). Returns an
// empty handle when the pipe cannot be opened.
kv::Pipe cmd_OpenPipe(const char* line);

// Closes a pipe from cmd_OpenPipe and returns the command's wait status
// (as pclose reports it; -1 when it could not be had).
int cmd_ClosePipe(kv::Pipe pipe);
