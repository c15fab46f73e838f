// The daemon's leveled logger and the update log.
//
// Every diagnostic line goes through log_Print: to the system log (ident
// "kvupdaterd", facility user) and, when asked for, echoed on standard output.
// Levels: 0 always emitted, 1 basic, 2 debug, 3 pedantic; a line is emitted
// when its level is 0 or not above the verbose level.
//
// No line says what an outsider wrote: the text of every %s and %c value
// passes kv::Printable, so a control byte in it (a line feed that would start
// a forged line, an escape sequence) reaches the system log, standard output
// and the update log as '?'. The format's own text keeps its layout. A format
// that is "%s" alone hands over a whole ready-made message of the daemon,
// whose line feeds are kept (its other control bytes show as '?'): never log
// text from outside that way, give it a format with words of its own.
#pragma once

// Syslog priorities the callers use.
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityDebug = 7;

// Formats and emits one line with the given syslog priority. Returns the
// length that formatting produced (untruncated, as vsnprintf reports it), or
// 0 when the level filter dropped the line. The system log receives at most
// 1999 characters; the echo on standard output is complete and followed by
// one newline. The text is sent to the system log as literal text, so percent
// signs in it are not interpreted again. The priority belongs to this line
// alone: nothing is left behind for later lines, of this thread or another.
int log_PrintPriority(int priority, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The two-call form: log_SetPriority stores a priority for the calling
// thread's next log_Print, which takes it (or 5 when none was stored) and
// then behaves as log_PrintPriority. The stored priority is used up by that
// next call whether the level filter emits or drops its line, and other
// threads never see it.
int log_Print(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Stores the syslog priority for the calling thread's next log_Print and
// returns it. Kept for callers of the two-call form; the daemon's own code
// gives the severity in the call that logs the line (log_PrintPriority), so
// that no priority waits in shared state for a line that may never come.
int log_SetPriority(int priority);

// Stores the verbose level and prints "Verbose output level %d\n".
void log_SetVerbose(int level);

// Stores the echo flag and prints "Log output to stdout %d\n".
void log_SetStdout(int on);

// Copies the syslog ident (at most 99 characters).
void log_SetIdent(const char* ident);

// Turns sending to the system log on (1, the default) or off (0). Host tools
// that run the daemon's functions turn it off, so that the daemon's messages
// about their inputs never reach the system log of the developer's machine.
void log_SetSystemLog(int on);

// Current settings, for tests. The pending priority is the calling thread's.
int log_GetVerbose();
int log_GetPendingPriority();

// Kinds of update-log lines and their tags.
inline constexpr unsigned kUpdateLogKvUpdater = 0;  // "KVUPDATER"
inline constexpr unsigned kUpdateLogBundle = 1;     // "BUNDLE"
inline constexpr unsigned kUpdateLogImage = 2;      // "IMAGE"
inline constexpr unsigned kUpdateLogIpk = 3;        // "IPK"

// Appends "<time> <tag right-aligned in ten columns>: <text>\n" to the update
// log /opt/kv2/log/update.log, with every control byte of text as '?' (a
// record is one line). A log larger than 199,999 bytes is started afresh. A
// kind without a tag writes nothing and leaves the file alone. The log is
// appended to without following a link or waiting on a FIFO, and only when
// it is a regular file with a single link; anything else at its name is
// refused with one level-1 line per change of the entry ("UpdateLog, <path>
// <reason>") and the record is not written. Write and close failures are
// logged at level 0; nothing is returned.
void UpdateLog(unsigned kind, const char* text);
