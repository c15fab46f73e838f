// The one place where the test steps read their arguments. Every value a
// step writes to a device, a fuse word, a card or a shell command line is
// parsed here whole: an argument either is exactly what the step's format
// allows, within the step's range, or the step refuses it with
// "Wrong test data specified -> " before it touches anything. Nothing is cut
// or wrapped into range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frame.h"

// A whole unsigned decimal number: one or more digits and nothing else (no
// blank, sign or suffix), within [min, max]. Leading zeros are allowed.
// False, with value untouched, for anything else.
[[nodiscard]] bool arg_Unsigned(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& value);

// Two whole numbers joined by one point ("318400.520", "1.2"), each within
// [0, its maximum].
[[nodiscard]] bool arg_Pair(std::string_view text, std::uint64_t maxFirst, std::uint64_t maxSecond,
                            std::uint64_t& first, std::uint64_t& second);

// Exactly count hexadecimal digits (either case) and nothing else.
[[nodiscard]] bool arg_Hex(std::string_view text, std::size_t count);

// A text for a fixed-size field: one byte at least, maxSize at most, and no
// control byte (below 0x20, or 0x7F), which would reach the station as a
// broken or split line when the field is read back.
[[nodiscard]] bool arg_Text(std::string_view text, std::size_t maxSize);

// A calendar date: year 1 to 9999, month 1 to 12, day within the month
// (29 February only in a leap year).
[[nodiscard]] bool arg_Date(std::uint64_t year, std::uint64_t month, std::uint64_t day);

// A date and time in the quoted form the stations send to the clock steps,
// exactly 21 characters: '2017-06-22 10:50:00', a valid calendar date and a
// time of day from 00:00:00 to 23:59:59.
[[nodiscard]] bool arg_QuotedDateTime(std::string_view text);

// Appends text (an argument echoed, or bytes read from a device) to the
// response line with every control byte shown as '?': the station reads one
// response line, and a line feed inside an argument or a received text must
// not split it.
void arg_Echo(ResponseLine& line, std::string_view text);
