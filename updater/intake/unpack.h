// Unpacking archives that nobody signed (the payload of a bundle, the members
// of an ipk before its signature is checked) as plain data: they are
// extracted into a private staging folder, and only regular files are taken
// out of it, owned by the daemon's user with mode 0644. No owner, mode,
// set-user-ID bit, link or special file of an archive member comes through,
// and an archive that holds a device node or a FIFO is not extracted at all.
#pragma once

#include <string>
#include <string_view>

#include "core/result.h"

// Prefix of the staging folders; what a kill leaves behind under it is
// removed by unpack_RemoveLeftovers.
inline constexpr std::string_view kStagingPrefix = ".kvunpack-";

// Creates a fresh staging folder (mode 0700) inside folder, which ends with a
// slash. Returns its path with a trailing slash.
kv::Result<std::string> unpack_MakeStaging(const std::string& folder);

// True when the tar archive holds nothing but regular files, folders and
// links, as "<tar> -tv[z]f \"<archive>\"" lists it; false when a member is a
// device node, a FIFO or of any other type. tar is the program to run.
bool unpack_PlainMembersOnly(const std::string& tar, const std::string& archive, bool gzip);

// Moves staging+name to folder+name when it is a regular file with a single
// link, and gives it to the daemon's user with mode 0644 (take_File);
// anything else stays behind in the staging folder. Returns true when the member was taken.
bool unpack_TakeMember(const std::string& staging, const std::string& folder, const std::string& name);

// Removes a staging folder and everything in it.
void unpack_RemoveStaging(const std::string& staging);

// Removes the staging folders that a kill left in folder. Returns how many.
int unpack_RemoveLeftovers(const std::string& folder);
