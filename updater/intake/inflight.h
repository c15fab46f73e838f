// The record of a bundle's work in flight, which lets a start after a kill
// tell that part of a bundle was lost.
//
// A bundle is unpacked in one pass and its members leave the bundle folder
// one at a time; from the moment a member is moved into the watch folder
// until its installation has started, it exists only as a file that the next
// start removes with the other artefacts. So before the unpack, and before a
// member leaves the bundle folder, the record names it (durably, in the work
// folder); it is removed once the unpack is complete, once the member's
// installation has started (installer unit started, image written), or once
// its road ended with a logged reason. A start that finds the record ends
// the bundle with one logged line: what was cut off cannot be told apart from
// what was done, and installing a member twice is not an option.
//
// Main thread only.
#pragma once

// Name of the record in the work folder.
inline constexpr const char* kInFlightRecordName = "kvupdaterd.bundle";

// The bundle `name` is about to be taken and unpacked.
void inflight_BeginUnpack(const char* name);

// The unpack ended (complete or failed with its own logged reason).
void inflight_EndUnpack();

// The bundle member `member` (its file name in the bundle folder) is about to
// be moved into the watch folder as `file`.
void inflight_BeginMember(const char* member, const char* file);

// A pass takes `file` from the watch folder: notes whether it is the member
// in flight (the following calls act only then).
void inflight_Taken(const char* file);

// The name in the watch folder of the bundle member in flight (moved there,
// or decrypted there, and not taken yet); empty when there is none.
const char* inflight_MemberFile();

// The member's name in the bundle folder when the current pass took the
// member in flight (inflight_Taken); empty for any other file.
const char* inflight_TakenMember();

// The taken member's installation has started: the record goes.
void inflight_Installed();

// The pass that took a file ends. When it took the member in flight and its
// road goes on as `next` in the watch folder (a decrypted package), the
// record names `next`; when `next` is null the road ended (installed, or
// refused with its own logged reason) and the record goes.
void inflight_PassEnded(const char* next);

// At start-up: 0 when there is no record. Otherwise logs as an error the
// bundle member or bundle that was cut off and that the bundle ends, removes
// the record and returns 1; the caller then clears the bundle folder.
int inflight_Recover();
