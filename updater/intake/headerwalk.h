// The line walk over a container's text header that the watch folder scan
// and the bundle reader share.
#pragma once

#include <functional>

// Calls visit with the first token (delimiters colon, blank, LF) and the rest
// of a 100-character copy of each examined line, until visit returns false or
// a line has no token. The first line starts at the text; it is not cut at
// its end, so its copy may run into the next line. Each later line starts one
// character after the end of the line before (the second after the text's
// first LF) and ends at the first CR LF pair from its start, or, when
// lineFeedEnds is set and there is no such pair, at the first LF; the end is
// overwritten in text. A line without an end is not examined. Lines ended by
// a bare LF are thus joined to the lines after them up to the next CR LF.
// Nothing is examined when the text holds no LF.
void header_WalkLines(char* text, bool lineFeedEnds, const std::function<bool(const char* key, char** rest)>& visit);

// The next token of the line being visited, with the value delimiters
// colon, blank, CR and LF; null when there is none.
const char* header_NextValue(char** rest);
