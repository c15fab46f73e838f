// Ordering of package and image versions the way the Debian package tools
// (and opkg, which follows them) order them.
#pragma once

#include <string_view>

// Compares two versions of the form [epoch:]upstream[-revision]: the epochs
// as numbers (none is 0), then the upstream parts, then the revisions (none
// is empty). Within a part, runs of non-digits compare character by
// character, a letter before any other character and '~' before everything,
// even the end of the part; runs of digits compare as numbers. Returns a
// negative number when a is older than b, 0 when they are the same version,
// a positive number when a is newer.
int version_Compare(std::string_view a, std::string_view b);
