// Help texts: the banner, the warning block, the overview of all tests and
// one help text per test. All are fixed text, printed as they stand.
#pragma once

#include <string_view>

// The program's version as shown in the banner.
inline constexpr std::string_view kPcbaVersion = "2.e";

void pcba_PrintBanner();
// The block that asks the operator to stop the application first.
void pcba_PrintWarning();
// One row per test with a short comment and how to get its help.
void pcba_PrintOverview();
// Prints the help text of the named test; false when there is none.
bool pcba_PrintTestHelp(std::string_view test);
