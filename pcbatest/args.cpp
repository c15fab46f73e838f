#include "args.h"

#include <array>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

bool arg_Unsigned(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& value) {
  if (text.empty()) return false;
  std::uint64_t parsed = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // Overflow of 64 bits is out of every range.
    if (parsed > (UINT64_MAX - digit) / 10) return false;
    parsed = parsed * 10 + digit;
  }
  if (parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool arg_Pair(std::string_view text, std::uint64_t maxFirst, std::uint64_t maxSecond, std::uint64_t& first,
              std::uint64_t& second) {
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return false;
  return arg_Unsigned(text.substr(0, point), 0, maxFirst, first) &&
         arg_Unsigned(text.substr(point + 1), 0, maxSecond, second);
}

bool arg_Hex(std::string_view text, std::size_t count) {
  if (text.size() != count) return false;
  for (const char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

bool arg_Text(std::string_view text, std::size_t maxSize) {
  if (text.empty() || text.size() > maxSize) return false;
  for (const char c : text) {
    if (IsControl(c)) return false;
  }
  return true;
}

bool arg_Date(std::uint64_t year, std::uint64_t month, std::uint64_t day) {
  static constexpr std::array<std::uint64_t, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const std::uint64_t days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= days;
}

bool arg_QuotedDateTime(std::string_view text) {
  // 'YYYY-MM-DD HH:MM:SS'
  static constexpr std::string_view kPattern = "'dddd-dd-dd dd:dd:dd'";
  if (text.size() != kPattern.size()) return false;
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    if (kPattern[i] == 'd' ? !IsDigit(text[i]) : text[i] != kPattern[i]) return false;
  }
  std::uint64_t year = 0;
  std::uint64_t month = 0;
  std::uint64_t day = 0;
  std::uint64_t hour = 0;
  std::uint64_t minute = 0;
  std::uint64_t second = 0;
  return arg_Unsigned(text.substr(1, 4), 0, 9999, year) && arg_Unsigned(text.substr(6, 2), 0, 99, month) &&
         arg_Unsigned(text.substr(9, 2), 0, 99, day) && arg_Date(year, month, day) &&
         arg_Unsigned(text.substr(12, 2), 0, 23, hour) && arg_Unsigned(text.substr(15, 2), 0, 59, minute) &&
         arg_Unsigned(text.substr(18, 2), 0, 59, second);
}

void arg_Echo(ResponseLine& line, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!IsControl(text[i])) continue;
    line.Append(text.substr(start, i - start));
    line.Append('?');
    start = i + 1;
  }
  line.Append(text.substr(start));
}
