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

#include <dictionary.h>
#include <iniparser.h>

#include "core/handles.h"

namespace kv {

// Line buffer, including the line feed and the terminator.
inline constexpr int kIniLineSize = 1024;
// Width at which section names, keys and values are cut.
inline constexpr int kIniFieldWidth = 200;
// Capacity beyond which every further line counts as an error.
inline constexpr long kIniMaxCapacity = 9999;

// Loads an INI file. Returns a dictionary, or null when the file cannot be
// opened, the dictionary cannot be created, or any line produced an error
// (each logged at level 0). Keys are lower case: a section is stored as its
// name without value, each entry as "section:key" (":key" before the first
// section). Release the result with iniparser_freedict (or hold it in
// kv::Dictionary).
dictionary* iniparser_load(const char* path);

}  // namespace kv
