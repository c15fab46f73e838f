// Shell command execution. Every command the daemon starts goes through here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "core/handles.h"

// Longest command line cmd_Run accepts.
inline constexpr std::size_t kCmdMaxLength = 400;

// 1 when every byte of the line is one cmd_Run admits: letters, digits and
// - _ " ' / @ space : .   Returns 0 and stores the first refused byte in
// *refused otherwise.
int cmd_IsAllowedLine(std::string_view line, char* refused);

// How a refusal names a byte that cmd_IsAllowedLine refused: "'c'" for a
// printable character, "the byte 0xNN" for any other.
std::string cmd_RefusedByteText(char c);

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

// Results of cmd_RunWatched besides a wait status.
inline constexpr int kCmdRefused = -2;
inline constexpr int kCmdOverran = -3;

// Runs a line that cmd_Check admits, as cmd_Run does, but waits for it at
// most `deadline`, pinging the service manager's watchdog every few seconds
// meanwhile: the command holds the loop, and has a deadline of its own
// instead. Returns the command's wait status, kCmdRefused for a refused
// line, kCmdOverran when it still ran at the deadline and was ended (with
// everything it started), -1 when it could not be started. Its output goes
// to the log at level 3.
int cmd_RunWatched(const char* line, std::chrono::seconds deadline);

// A deadline set in the environment: the variable's whole number of seconds,
// or fallback when it is unset or not a positive number.
std::chrono::seconds cmd_DeadlineFrom(const char* environment, std::chrono::seconds fallback);

// A command whose output is read line by line under a deadline (the image
// updater). It is started through the shell like cmd_OpenPipe, but in a
// process group of its own, so that one that overruns its deadline can be
// ended together with everything it started. Move-only; a reader that is
// still running when destroyed is ended (Terminate).
class CmdReader {
 public:
  enum class Read { kLine, kEnd, kDeadline };

  CmdReader() = default;
  CmdReader(CmdReader&& other) noexcept;
  CmdReader& operator=(CmdReader&& other) noexcept;
  CmdReader(const CmdReader&) = delete;
  CmdReader& operator=(const CmdReader&) = delete;
  ~CmdReader();

  // Starts the line through /bin/sh -c; an invalid reader when it could not
  // be started. With ownGroup false the command stays in the daemon's
  // process group, so that whatever ends the daemon ends it too.
  static CmdReader Start(const char* line, bool ownGroup = true);
  explicit operator bool() const noexcept { return pid_ > 0; }

  // Reads the next line into buf (at most size - 1 characters, the line feed
  // kept when it fits, as fgets does). kEnd when the output has ended,
  // kDeadline when the deadline passed before a whole line came.
  Read ReadLine(char* buf, std::size_t size, std::chrono::steady_clock::time_point deadline);

  // Closes the output and waits for the command; its wait status.
  int Close();

  // Sends SIGTERM to the command's process group, gives it `grace` to end,
  // then sends SIGKILL; waits for it and returns its wait status.
  int Terminate(std::chrono::milliseconds grace = std::chrono::seconds(10));

 private:
  int Wait();
  kv::Fd out_;
  pid_t pid_ = -1;
  bool ownGroup_ = true;
  std::string pending_;  // output read but not yet returned
  bool ended_ = false;
};
