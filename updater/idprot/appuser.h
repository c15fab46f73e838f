// The application's service user: the device setting kAppUser names the user
// whose JSON-RPC listener on 127.0.0.1:4006 is believed besides root's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

// A user name is at most this long (with its line feed, if any).
inline constexpr std::size_t kAppUserCap = 256;

// The uid of the user that the setting names, read now (once per call). The
// setting is a regular file with a single link owned by the daemon's user
// (root on the device), opened without following a link or waiting, holding
// one user name and at most one line feed after it. No file, anyone else's
// file, a file beyond the cap, a malformed name or a name the user database
// does not know: no user (nullopt); every such case but the missing file is
// logged at level 3.
std::optional<uid_t> appuser_Uid();
