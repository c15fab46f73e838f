// The extension filter table shared by the watch folder scan and the
// artefact deletion: ten slots of at most 13 characters, compared with a
// file's extension ignoring case. Main thread only.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

inline constexpr std::size_t kExtFilterSlots = 10;
inline constexpr std::size_t kExtFilterLength = 13;

// Clears all slots, then fills the first ones with the given extensions (at
// most ten; each cut to 13 characters).
void extfilter_Set(std::initializer_list<const char*> extensions);

// 1 when the name's extension (the text after its last dot) equals a
// non-empty slot, ignoring case, over at most 13 characters; 0 otherwise and
// for a name without a dot.
int extfilter_Matches(std::string_view name);
