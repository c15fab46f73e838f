// The configuration files a step changes (host name, serial file, access
// point): each is replaced whole, never rewritten in place, so that a
// failure or a power cut leaves either the old file or the new one.
#pragma once

#include <string_view>

// Replaces the file at path (a link is followed to the file it names) by one
// holding exactly text. A temporary file beside it is written, flushed,
// given the old file's mode and owner (0644 when there was none), renamed
// over the old one and the folder flushed; then the file is read back. True
// only when it then holds exactly text. On failure the old file is left as
// it was and no temporary file remains.
[[nodiscard]] bool etc_WriteFile(const char* path, std::string_view text);

// As etc_WriteFile, the new file being the old one with every occurrence of
// from (not empty, shorter than 64 bytes) replaced by to; the other bytes
// and lines stay as they were. A missing file has nothing to replace: true,
// and nothing is created.
[[nodiscard]] bool etc_ReplaceInFile(const char* path, std::string_view from, std::string_view to);
