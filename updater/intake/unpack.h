// Unpacking archives that nobody signed (the payload of a bundle, the control
// data of an ipk before its signature is checked) as plain data: they are
// read in process, and only regular members are written, into a private
// staging folder, from which they are taken out owned by the daemon's user
// with mode 0644. No owner, mode, set-user-ID bit, link or special file of an
// archive member comes through, and an archive that holds a device node or a
// FIFO is not extracted at all.
//
// Every read is bounded: a source yields no more than the bytes it was given,
// and no member is written before its header's size is known to fit under
// the caps. What an archive claims decides nothing; what it holds decides how
// much work it gets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/handles.h"
#include "core/result.h"

// Prefix of the staging folders; what a kill leaves behind under it is
// removed by unpack_RemoveLeftovers.
inline constexpr std::string_view kStagingPrefix = ".kvunpack-";

// Creates a fresh staging folder (mode 0700) inside folder, which ends with a
// slash. Returns its path with a trailing slash.
kv::Result<std::string> unpack_MakeStaging(const std::string& folder);

// Why an archive was not unpacked.
enum class UnpackRefusal {
  kDamaged,        // not an archive of the admitted format, or cut short
  kSpecialMember,  // a device node, a FIFO, a socket or a member of another type
  kOverCap,        // a member to be written claims more than its cap
  kOverTotal,      // the members together claim more than the archive may hold
  kCannotWrite,    // the staging folder refused a member
};

// A libarchive source over the region of a descriptor from its position on:
// `left` bytes of it, of which at most `readLeft` are read; skipping forward
// (over a member that is not wanted) is an lseek and reads nothing.
struct UnpackSource {
  int fd = -1;
  std::uint64_t left = 0;
  std::uint64_t readLeft = 0;
  std::array<unsigned char, 64 * 1024> buffer{};
};

// Opens a (its formats and filters chosen by the caller) over source, which
// must outlive it. False when no admitted format recognises the data.
[[nodiscard]] bool unpack_OpenSource(archive* a, UnpackSource& source);

// The data of the current member of a, when it holds at most cap bytes;
// kOverCap as soon as it holds more (nothing beyond cap + 1 bytes is read),
// kDamaged when it cannot be read.
[[nodiscard]] kv::Result<std::string, UnpackRefusal> unpack_ReadData(archive* a, std::size_t cap);

// Limits of unpack_Members.
struct UnpackLimits {
  std::uint64_t memberMax = 0;  // a written member's size, as claimed and as read
  std::uint64_t totalMax = 0;   // the sum of every member's claimed size
};

// Walks every member of the open tar archive a and writes, as plain data,
// the regular members (hard links excepted) whose name admit accepts into
// staging (a folder of unpack_MakeStaging) under that name; a member name
// loses its leading "./" first. Folders, symbolic links, hard links and
// members whose name admit refuses are passed over; a device node, a FIFO or
// any other type refuses the whole archive, and so does a member that no
// folder entry can be named after. Before a member is read, its claimed size
// must keep under limits (an uncompressed tar holds at least
// the bytes its headers claim, so their sum bounds what it can make the
// daemon write); while it is written, it may not exceed its claim. Returns
// the names written, in archive order (a name written twice keeps the later
// member). After a refusal, what was written stays in staging for the caller
// to remove with it.
kv::Result<std::vector<std::string>, UnpackRefusal> unpack_Members(archive* a, const std::string& staging,
                                                                   bool (*admit)(const std::string& name),
                                                                   const UnpackLimits& limits);

// Moves staging+name to folder+name when it is a regular file with a single
// link, and gives it to the daemon's user with mode 0644 (take_File);
// anything else stays behind in the staging folder. Returns true when the member was taken.
bool unpack_TakeMember(const std::string& staging, const std::string& folder, const std::string& name);

// Removes a staging folder and everything in it.
void unpack_RemoveStaging(const std::string& staging);

// Removes the staging folders that a kill left in folder. Returns how many.
int unpack_RemoveLeftovers(const std::string& folder);
