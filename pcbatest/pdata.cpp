// PDATA: programs and reads the board's production data (MAC addresses,
// serial number, part number, version) in the fuse words. Every set step
// writes only while its guard word still reads zero, because a fuse bit once
// set stays set.
#include <charconv>
#include <array>
#include <cstdint>
#include <cstdio>

#include "otp.h"
#include "shell.h"
#include "tests.h"

namespace {

using Hex = FixedText<16>;

// Lowercase hexadecimal digits of value, at least minDigits of them.
template <std::size_t N>
void AppendHex(FixedText<N>& text, std::uint64_t value, int minDigits) {
  char digits[16];
  int count = 0;
  do {
    digits[15 - count] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
    ++count;
  } while (value != 0 || count < minDigits);
  text.Append(std::string_view(digits + 16 - count, static_cast<std::size_t>(count)));
}

// "0x" and the value in hexadecimal, the form the fuse files take.
Hex FuseValue(std::uint64_t value) {
  Hex text;
  text.Append("0x");
  AppendHex(text, value, 1);
  return text;
}

// "0x" followed by the given hexadecimal digits as typed.
Hex Prefixed(std::string_view digits, std::string_view suffix = {}) {
  Hex text;
  text.Append("0x");
  text.Append(digits);
  text.Append(suffix);
  return text;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A MAC address: exactly twelve hexadecimal digits, d1 first.
bool IsMac(std::string_view data) {
  if (data.size() != 12) return false;
  for (const char c : data) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

// A non-empty run of decimal digits that fits max.
bool ParseDecimal(std::string_view text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= max;
}

// "integer.fraction" with both parts in range.
bool ParsePair(std::string_view data, std::uint64_t maxFirst, std::uint64_t maxSecond, std::uint64_t& first,
               std::uint64_t& second) {
  const std::size_t point = data.find('.');
  if (point == std::string_view::npos) return false;
  return ParseDecimal(data.substr(0, point), maxFirst, first) &&
         ParseDecimal(data.substr(point + 1), maxSecond, second);
}

constexpr std::uint64_t kMaxPart = 0xFFFF;
constexpr std::uint64_t kMaxPartInteger = (std::uint64_t{1} << 48) - 1;

StepResult SetMac0(std::string_view data, ResponseLine& line) {
  if (otp_ReadWord("MAC0") != 0) return kStepIoFailure;
  (void)otp_WriteWord("MAC0", Prefixed(data.substr(4, 8)).View());
  (void)otp_WriteWord("MAC1", Prefixed(data.substr(0, 4)).View());
  line.Append(data);
  return kStepSuccess;
}

StepResult SetMac1(std::string_view data, ResponseLine& line) {
  if (otp_ReadWord("MAC2") != 0) return kStepIoFailure;
  // The second address owns the high half of the shared word.
  (void)otp_WriteWord("MAC1", Prefixed(data.substr(8, 4), "0000").View());
  (void)otp_WriteWord("MAC2", Prefixed(data.substr(0, 8)).View());
  line.Append(data);
  return kStepSuccess;
}

StepResult SetPartNumber(std::string_view data, std::uint64_t integer, std::uint64_t fraction, ResponseLine& line) {
  if (otp_ReadWord("SW_GP2") != 0) return kStepIoFailure;
  (void)otp_WriteWord("SW_GP2", FuseValue(integer & 0xFFFFFFFFU).View());
  // Fraction in the high half, bits 32 to 47 of the integer in the low half.
  Hex high;
  high.Append("0x");
  AppendHex(high, fraction, 4);
  AppendHex(high, integer >> 32, 4);
  (void)otp_WriteWord("SW_GP3", high.View());
  line.Append(data);
  return kStepSuccess;
}

StepResult SetVersion(std::string_view data, std::uint64_t major, std::uint64_t minor, ResponseLine& line) {
  if (otp_ReadWord("SW_GP4") != 0) return kStepIoFailure;
  (void)otp_WriteWord("SW_GP4", FuseValue(major * 65536 + minor).View());
  line.Append(data);
  return kStepSuccess;
}

// Setting the serial number also names the host "kv_" and the serial's last
// five digits, renames the default access point and stores the serial in
// /etc/sno. The guard is read first: a refused step must leave the host name
// and serial file matching the fuses.
StepResult SetSerial(std::string_view data, std::uint64_t value, ResponseLine& line) {
  char host[16];
  std::snprintf(host, sizeof host, "kv_%05d", static_cast<int>(value % 100000));

  std::array<CommandLine, 5> commands;
  commands[0].Append("cat /dev/null > /etc/hostname");
  commands[1].Append("echo ");
  commands[1].Append(host);
  commands[1].Append(" > /etc/hostname");
  commands[2].Append("sed -i 's/kv_default/");
  commands[2].Append(host);
  commands[2].Append("/g' /etc/hostapd.conf");
  commands[3].Append("cat /dev/null > /etc/sno");
  commands[4].Append("echo ");
  commands[4].Append(data);
  commands[4].Append(" > /etc/sno");
  for (const CommandLine& command : commands) {
    if (!command.Complete()) return kStepWrongData;
  }

  if (otp_ReadWord("SW_GP0") != 0) return kStepIoFailure;
  for (const CommandLine& command : commands) pcba_RunCommand(command.CStr());
  (void)otp_WriteWord("SW_GP0", FuseValue(value & 0xFFFFFFFFU).View());
  (void)otp_WriteWord("SW_GP1", FuseValue(value >> 32).View());
  line.Append(data);
  return kStepSuccess;
}

}  // namespace

StepResult test_Pdata(const StepArgs& args, ResponseLine& line) {
  pcba_Echo(args, line, 2, true);
  const std::string_view step = args.Step();
  const std::string_view data = args.Data();

  if (step == "getMAC0") {
    AppendHex(line, otp_ReadWord("MAC1") & 0xFFFFU, 4);
    AppendHex(line, otp_ReadWord("MAC0"), 8);
    return kStepSuccess;
  }
  if (step == "getMAC1") {
    AppendHex(line, otp_ReadWord("MAC2"), 8);
    AppendHex(line, otp_ReadWord("MAC1") >> 16, 4);
    return kStepSuccess;
  }
  if (step == "getPN") {
    const std::uint32_t low = otp_ReadWord("SW_GP2");
    const std::uint32_t high = otp_ReadWord("SW_GP3");
    const std::uint64_t integer = (std::uint64_t{high & 0xFFFFU} << 32) | low;
    line.AppendUnsigned(integer);
    if ((high >> 16) != 0) {
      line.Append('.');
      line.AppendUnsigned(high >> 16);
    }
    return kStepSuccess;
  }
  if (step == "getVN") {
    const std::uint32_t word = otp_ReadWord("SW_GP4");
    line.AppendUnsigned(word >> 16);
    line.Append('.');
    line.AppendUnsigned(word & 0xFFFFU);
    return kStepSuccess;
  }
  if (step == "getSN") {
    const std::uint32_t low = otp_ReadWord("SW_GP0");
    const std::uint32_t high = otp_ReadWord("SW_GP1");
    line.AppendUnsigned((std::uint64_t{high} << 32) | low);
    return kStepSuccess;
  }

  std::uint64_t first = 0;
  std::uint64_t second = 0;
  if (step == "setMAC0" && IsMac(data)) return SetMac0(data, line);
  if (step == "setMAC1" && IsMac(data)) return SetMac1(data, line);
  if (step == "setPN" && data.size() > 5 && ParsePair(data, kMaxPartInteger, kMaxPart, first, second)) {
    return SetPartNumber(data, first, second, line);
  }
  if (step == "setVN" && ParsePair(data, kMaxPart, kMaxPart, first, second)) {
    return SetVersion(data, first, second, line);
  }
  if (step == "setSN" && data.size() >= 11 && ParseDecimal(data, UINT64_MAX, first)) {
    return SetSerial(data, first, line);
  }
  return kStepWrongData;
}
