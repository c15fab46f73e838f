// Whether another process uses a file: the busy check of the watch folder,
// made from the kernel's process table instead of a command line, so that no
// file name ever becomes an option of a program.
#pragma once

#include <sys/stat.h>

// True when a process other than this one holds the file st describes (same
// device and inode) open, or has it mapped into its memory. Processes whose
// descriptors cannot be read (another user's, when the daemon is not root)
// are not seen.
bool inuse_HeldByOthers(const struct stat& st);
