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

// Runs a line that embeds outside names. Refuses (returns 0) a null, empty or
// over-long line without a message, and a line holding any other character
// with the level-0 message "Illegal character %c in command: \"%s\"".
// Otherwise hands it to the shell, waits for it and returns 1; the command's
// own exit status is not examined.
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
