// The daemon's INI file loader. It fills a dictionary of the iniparser
// library, which callers query with the library's getters
// (iniparser_getstring, iniparser_getint, iniparser_getboolean,
// iniparser_getnsec, iniparser_getsecname) and release with
// iniparser_freedict.
//
// The library exports a loader of the same name; the daemon always calls this
// one, kv::iniparser_load, which logs every error through the daemon's logger,
// bounds every field to 200 characters, caps the dictionary's size, and
// rejects a file as a whole at its first error.
#pragma once

#include <cstddef>

#include <dictionary.h>
#include <iniparser.h>

#include "core/handles.h"

namespace kv {

// Line buffer, including the line feed and the terminator.
inline constexpr int kIniLineSize = 1024;
// Width at which section names, keys and values are cut.
inline constexpr int kIniFieldWidth = 200;
// Largest file that is read; a larger one is refused as a whole. The
// configuration files hold a few KiB; the cap leaves room for the loader's
// own limit (kIniMaxCapacity: some 8,192 entries in short lines) to be the
// one that speaks first for a file of many small entries.
inline constexpr std::size_t kIniMaxFileSize = 256 * 1024;
// Capacity beyond which every further line counts as an error.
inline constexpr long kIniMaxCapacity = 9999;

// Loads an INI file. Returns a dictionary, or null when the file cannot be
// opened, is not a regular file (a link, a FIFO, a folder: refused with one
// line at level 1 per change of the entry, see safefile_LogRefusal), is larger
// than kIniMaxFileSize, the dictionary cannot be created, or any line produced an error
// (each logged at level 0). Keys are lower case: a section is stored as its
// name without value, each entry as "section:key" (":key" before the first
// section). Release the result with iniparser_freedict (or hold it in
// kv::Dictionary).
dictionary* iniparser_load(const char* path);

}  // namespace kv
