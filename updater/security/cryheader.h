// The plain-text header of a CRY container and its scoring.
//
// A container is a header of ASCII lines ("KEY: value" ended by CR LF; the
// first line may end with a bare LF), filler up to the payload offset, then
// the AES-256-CBC payload. The header ends at the first line without a token.
// The integrity check accepts a header whose score reaches 4: one point for a
// HEADERLENGTH of at most 1000, one for PLATFORMNAME "all", one for a
// PLATFORMNAME equal to the device's platform identifier, one for each
// SWPART and PACKAGENAME with a value. Every occurrence counts again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Bytes of the container the integrity check reads, and the longest payload
// offset that counts toward acceptance.
inline constexpr std::size_t kCryHeaderReadSize = 1000;
inline constexpr int kCryMaxHeaderLength = 1000;
// Characters of a line that take part in the scoring.
inline constexpr std::size_t kCryLineLimit = 100;
// Score an accepted header reaches.
inline constexpr int kCryAcceptScore = 4;

// Why the line walk ended.
enum class CryWalkEnd {
  kNoLineFeed,  // the text holds no LF: no line was examined
  kEmptyLine,   // a line without a token: the end of the header
  kNoCrLf,      // the rest of the text holds no CR LF: a trailing line was not examined
};

// One recognised key with a value, in the order the walk met them.
struct CryHeaderElement {
  std::string key;    // "HEADERLENGTH", "PLATFORMNAME", "SWPART" or "PACKAGENAME"
  std::string value;  // the value token as it stands in the line
  bool counted = false;
};

struct CryHeaderScan {
  int score = 0;
  int offset = 0;  // value of the last HEADERLENGTH line; 0 when none
  int linesExamined = 0;
  CryWalkEnd end = CryWalkEnd::kNoLineFeed;
  std::vector<CryHeaderElement> elements;
};

// The text the integrity check works on, from the first n bytes of the file:
// the last byte read is dropped (it takes the end-of-text mark) and the text
// ends at the first NUL.
std::string_view cry_HeaderText(const char* data, std::size_t n);

// Walks the header lines of text and scores them against the device's
// platform identifier. An empty identifier (unknown device) never matches.
CryHeaderScan cry_ScanHeader(std::string_view text, std::string_view platformId);

// The decimal value of a HEADERLENGTH token, converted the way the C library's
// atoi reads it (leading white space, optional sign, digits up to the first
// other character, no digits giving 0), clamped to the range of int.
int cry_ParseHeaderLength(std::string_view token);
