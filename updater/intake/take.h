// Taking a file into a folder that only the daemon can write before anything
// reads it: whatever is checked afterwards is then the file that is used.
#pragma once

#include <string>

#include "core/result.h"

// Moves the entry at from to to (a rename; across file systems "mv" through
// cmd_Run), then checks what arrived: it must be a regular file with a single
// link. It is given to the daemon's user with mode 0644, so no other owner
// and no set-user-ID or set-group-ID bit comes with it. With checkHeld no
// other process may hold it open or mapped either: a descriptor opened
// before the move would still reach it. An entry that fails is removed again
// (a folder only when empty); the error then says why, as a predicate of the
// file ("is held open by another process").
kv::Status take_File(const std::string& from, const std::string& to, bool checkHeld);
